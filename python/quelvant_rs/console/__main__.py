"""python -m quelvant_rs.console: the same as the quelvant-console command."""

import sys

from .cli import main

sys.exit(main())
