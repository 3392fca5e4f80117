"""python3 -m velmora: the velmora command."""
import sys

from .cli import main

sys.exit(main())
