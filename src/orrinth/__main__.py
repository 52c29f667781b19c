"""``python -m orrinth``: the command line."""

import sys

from orrinth.cli import main

if __name__ == "__main__":
    sys.exit(main())
