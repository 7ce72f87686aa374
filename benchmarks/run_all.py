"""Run every benchmark and print one table of ratios against their targets.

Each bench_*.py runs in its own process and prints rows ending in a value and
a target ("<= 1.5" or ">= 10"); rows without a target are shown for
information. Needs redis-server on PATH for bench_remote.py. With --json FILE,
every row (case, value, target, result) and what machine it ran on go to FILE.
"""

import argparse
import glob
import json
import os
import re
import subprocess
import sys
import time

ROW = re.compile(r"^(?P<case>\S.*?)\s+(?P<value>[0-9]+(?:\.[0-9]+)?)\s*(?P<target>(?:<=|>=)\s*[0-9.]+)?\s*$")


def rows_of(script):
    out = subprocess.run([sys.executable, script], capture_output=True, text=True, timeout=1800)
    if out.returncode != 0:
        return [(os.path.basename(script), "failed", "", out.stderr.strip().splitlines()[-1:])]
    rows = []
    for line in out.stdout.splitlines():
        m = ROW.match(line)
        if m and not line.startswith("case"):
            rows.append((m["case"].strip(), float(m["value"]), (m["target"] or "").replace(" ", "")))
    return rows


def verdict(value, target):
    if not target:
        return ""
    limit = float(target[2:])
    ok = value <= limit if target.startswith("<=") else value >= limit
    return "met" if ok else "MISSED"


def machine():
    """What a row was measured on, so that runs can be compared over time."""
    import platform

    return {"python": platform.python_version(), "machine": platform.machine(),
            "processor": platform.processor(), "cpus": os.cpu_count(),
            "system": platform.platform(), "time": time.strftime("%Y-%m-%dT%H:%M:%S%z")}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", metavar="FILE", help="also write every row to FILE")
    args = parser.parse_args()
    here = os.path.dirname(os.path.abspath(__file__))
    records = []
    print(f"{'benchmark':22} {'case':46} {'value':>8}  {'target':8} result")
    for script in sorted(glob.glob(os.path.join(here, "bench_*.py"))):
        name = os.path.basename(script)[:-3]
        for row in rows_of(script):
            if row[1] == "failed":
                print(f"{name:22} {'(failed to run)':46} {'':>8}  {'':8} {row[3]}")
                records.append({"benchmark": name, "case": None, "failed": row[3]})
                continue
            case, value, target = row
            result = verdict(value, target)
            print(f"{name:22} {case[:46]:46} {value:8.2f}  {target:8} {result}")
            records.append({"benchmark": name, "case": case, "value": value,
                            "target": target or None, "result": result or None})
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": machine(), "rows": records}, f, indent=1)


if __name__ == "__main__":
    main()
