"""`python3 -m vorn` is the `vorn` command."""
import sys

from vorn.cli import main

sys.exit(main())
