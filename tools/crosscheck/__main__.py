"""python3 -m crosscheck (from tools/): the same as tools/crosscheck.py."""

import sys

from .driver import main

if __name__ == "__main__":
    sys.exit(main())
