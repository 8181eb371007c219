"""``python -m kvro``: the kvro command (see kvro.cli)."""

import sys

from kvro.cli import main

if __name__ == "__main__":
    sys.exit(main())
