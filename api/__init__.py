"""The application's package: the tag module `orvane` and its database module."""
