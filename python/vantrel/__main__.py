"""python -m vantrel: the vantrel command."""

import sys

from vantrel.cli import main

sys.exit(main())
