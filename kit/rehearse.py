#!/usr/bin/env python3
"""The rehearsal runner's command: rehearse.py SETUP.exe CASES.json [...] (--help says more).
The kit ships the same as one file, rehearse.pyz."""
import sys

from rehearsal.cli import main

if __name__ == "__main__":
    sys.exit(main())
