#!/usr/bin/env python3
"""Runs the cross-check, the package crosscheck/ beside this script (its
__init__.py describes it): python3 tools/crosscheck.py --help."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from crosscheck.driver import main  # noqa: E402  (found through the path above)

if __name__ == "__main__":
    sys.exit(main())
