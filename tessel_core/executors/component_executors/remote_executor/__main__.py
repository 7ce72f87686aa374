"""`python -m tessel_core.executors.component_executors.remote_executor --help`"""

import sys

from .worker import main

sys.exit(main())
