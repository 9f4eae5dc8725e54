import sys

from fennowick.cli import main

sys.exit(main())
