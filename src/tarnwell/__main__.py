"""``python -m tarnwell``: the ``tarnwell`` command."""

import sys

from .cli import main

sys.exit(main())
