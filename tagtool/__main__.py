import os
import sys

from . import main

try:
    status = main()
    sys.stdout.flush()
except KeyboardInterrupt:
    status = 130
except BrokenPipeError:
    # The reader went away (a pager, head): say nothing more to it.
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    status = 1
sys.exit(status)
