"""`python -m velmora`: the command line."""

import sys

from velmora.cli import main

sys.exit(main())
