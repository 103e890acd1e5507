"""``python -m karvex``: the command line (see ``python -m karvex --help``)."""

import sys

from karvex._cli import main

if __name__ == "__main__":
    sys.exit(main())
