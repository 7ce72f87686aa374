"""`python -m tessel_core`: the command line (see tessel_core.cli).

    python -m tessel_core run PIPELINE.json [--cache-dir DIR] [--param NAME=VALUE ...]
                                            [--remote BROKER [--backend URL]] [--only ID]
                                            [--jobs N [--pool]] [--fail-fast]
    python -m tessel_core optimize PIPELINE.json --objective ID [--direction minimize ...]
                                            [--method RandomSearch] [--trials N]
                                            [--grid NAME=LOW:HIGH:STEP | --search NAME=LOW:HIGH]
"""

import sys

from tessel_core.cli import main

if __name__ == "__main__":
    sys.exit(main())
