"""`python -m tessel_core cache list|prune|clear DIR`: keeping a cache
directory, safely while runs use it."""

import os
import time

from tessel_core.cache.upkeep import entries, parse_size, remove_with_sharers, shown_size, to_prune
from tessel_core.cli.pipeline_file import PipelineError
from tessel_core.cli.terminal import print_table


def add_parser(commands):
    cache = commands.add_parser("cache", help="list, prune or clear a cache directory")
    actions = cache.add_subparsers(dest="action", required=True)
    listing = actions.add_parser("list", help="entries, size and last use per component")
    listing.add_argument("directory")
    prune = actions.add_parser("prune", help="remove the least recently used entries")
    prune.add_argument("directory")
    prune.add_argument("--keep", type=int, metavar="N",
                       help="keep the N most recently used entries of each component")
    prune.add_argument("--max-size", metavar="SIZE",
                       help="remove least recently used entries until the directory holds at "
                            "most SIZE (500MB, 2GB, 1.5G, 100k, or bytes)")
    clear = actions.add_parser("clear", help="remove every entry (of one component)")
    clear.add_argument("directory")
    clear.add_argument("--component", metavar="ID")
    cache.set_defaults(func=command_cache)


def command_cache(args):
    if not os.path.isdir(args.directory):
        raise PipelineError(f"{args.directory} is not a cache directory")
    found = entries(args.directory)
    if args.action == "list":
        return list_entries(found)
    if args.action == "prune":
        if args.keep is None and args.max_size is None:
            raise PipelineError("cache prune needs --keep N or --max-size SIZE")
        if args.keep is not None and args.keep < 0:
            raise PipelineError("--keep must be 0 or more")
        try:
            max_size = None if args.max_size is None else parse_size(args.max_size)
        except ValueError as err:
            raise PipelineError(f"--max-size: {err}") from None
        chosen = to_prune(found, args.keep, max_size)
    else:
        chosen = [e for e in found if args.component in (None, e.component)]
    return remove_entries(args.directory, chosen, found)


def list_entries(found):
    rows = [("component", "entries", "size", "last used")]
    for component in sorted({e.component for e in found}):
        mine = [e for e in found if e.component == component]
        used = time.strftime("%Y-%m-%d %H:%M", time.localtime(max(e.last_used for e in mine)))
        rows.append((component, str(len(mine)), shown_size(sum(e.size for e in mine)), used))
    print_table(rows)
    return 0


def remove_entries(directory, chosen, found):
    """Remove each entry a run does not hold, with the entries that refer to
    its pages; a line per entry removed."""
    freed, gone = 0, set()
    for entry in chosen:
        if entry.path in gone:
            continue
        for removed in remove_with_sharers(directory, entry, found):
            gone.add(removed.path)
            freed += removed.size
            print(f"{removed.component}  {shown_size(removed.size)}")
    print(f"freed {shown_size(freed)}")
    return 0
