import sys

from .track import main

sys.exit(main())
