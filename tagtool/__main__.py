import os
import signal
import sys

from . import main


def stop(signum, frame):
    # A termination unwinds like an interrupt, so that a write in progress
    # removes its temporary file.
    raise SystemExit(128 + signum)


signal.signal(signal.SIGTERM, stop)
signal.signal(signal.SIGHUP, stop)
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
