import sys

from kovra_tools.cli import main

sys.exit(main())
