"""python -m talvex_tools: the same as the talvex command."""

import sys

from talvex_tools.cli import main

if __name__ == "__main__":
    sys.exit(main())
