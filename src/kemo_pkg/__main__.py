"""python -m kemo_pkg: the command line of `kemo_pkg.cli`."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
