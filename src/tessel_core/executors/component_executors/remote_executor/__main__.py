"""`python -m tessel_core.executors.component_executors.remote_executor --help`"""

import sys

from .worker import main

if __name__ == "__main__":
    sys.exit(main())
