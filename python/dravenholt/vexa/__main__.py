"""`python -m dravenholt.vexa`: the self-test and a demo, or a subcommand (see --help)."""

import sys

from dravenholt.vexa._cli import main

if __name__ == "__main__":
    sys.exit(main())
