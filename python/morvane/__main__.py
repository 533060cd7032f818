"""`python -m morvane`: the command line."""

from morvane.cli import main

raise SystemExit(main())
