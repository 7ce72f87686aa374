"""Command line entry: `python -m tessel_core COMMAND`."""

import argparse
import sys
import tempfile


def demo(args: argparse.Namespace) -> int:
    """Keep a component's result in memory and on disk, then read it back."""
    import cloudpickle

    from tessel_core.cache import TesselDiskCache, TesselQuickhold
    from tessel_core.misc.models import (
        TesselCacheModel,
        TesselCapturedModel,
        TesselComponentModel,
        TesselComponentOutputsSummaryModel,
    )

    component = TesselComponentModel(id="load", name="Load data", code="x = [1, 2, 3]\nsum(x)")
    print(f"component: {component.json()}")
    result = TesselCacheModel(
        non_module_outputs={"x": cloudpickle.dumps([1, 2, 3])},
        last_output=cloudpickle.dumps(6),
        captured=[TesselCapturedModel(type="stream", name="stdout", text="loaded\n")],
        outputs_summary=TesselComponentOutputsSummaryModel(objects=["x"]),
    )
    memory = TesselQuickhold(cache=result)
    print(f"in memory: last_output={cloudpickle.loads(memory.last_output)!r}")

    directory = args.cache_dir or tempfile.mkdtemp(prefix="tessel-demo-")
    disk = TesselDiskCache(cache_dir=directory)
    for name, value in result:
        setattr(disk, name, value)
    disk.close()

    reopened = TesselDiskCache(cache_dir=directory)
    print(f"disk cache at {reopened.cache_dir} holds:")
    outputs = {k: cloudpickle.loads(v) for k, v in reopened.non_module_outputs.items()}
    print(f"  non_module_outputs = {outputs!r}")
    print(f"  last_output        = {cloudpickle.loads(reopened.last_output)!r}")
    print(f"  captured           = {[c.text for c in reopened.captured]!r}")
    print(f"  outputs_summary    = {reopened.outputs_summary.dict()!r}")
    reopened.close()
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m tessel_core")
    commands = parser.add_subparsers(dest="command", required=True)
    p_demo = commands.add_parser("demo", help=demo.__doc__)
    p_demo.add_argument("--cache-dir", help="directory of the disk cache (default: a temp dir)")
    p_demo.set_defaults(func=demo)
    args = parser.parse_args(argv)
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
