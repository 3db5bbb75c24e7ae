import sys

from corvane_cli.cli import main

sys.exit(main())
