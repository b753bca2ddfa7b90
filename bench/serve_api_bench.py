#!/usr/bin/env python3
"""kaldo serve's /api on a store of a million points: how long a page of
10,000 features takes, first, in the middle, within a box, for one unit.

  bench/serve_api_bench.py --kaldo build/tool/kaldo [--work DIR] [--points N]

The store is filled by kaldo serve itself (DirectIP messages, 64 at once),
then its positions are copied onto themselves (through GDAL, which keeps
the GeoPackage's R-tree) until it holds N points (default 1,000,000).
Each request is made 5 times; the median is reported. Goal: 0.5 s.
"""
import argparse
import importlib.util
import statistics
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
_spec = importlib.util.spec_from_file_location(
    "serve_end_to_end", ROOT / "tests" / "tool" / "serve" / "serve_end_to_end.py")
e2e = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(e2e)


def fill(args, store):
    receiver = e2e.Receiver(args.kaldo, store.destination, args.work, e2e.free_port(), e2e.free_port())
    receiver.start()
    messages, _ = e2e.make_messages(args.seed_messages, seed=31)

    e2e.send_all(receiver.directip_port, messages, 64, tries=1)
    receiver.stop()
    columns = [r[1] for r in store.rows("PRAGMA table_info(positions)") if r[1] != "fid"]
    quoted = ", ".join(f'"{c}"' for c in columns)
    while store.rows("SELECT count(*) FROM positions")[0][0] < args.points:
        missing = args.points - store.rows("SELECT count(*) FROM positions")[0][0]
        subprocess.run(["ogrinfo", "-q", store.path, "-sql",
                        f"INSERT INTO positions ({quoted}) SELECT {quoted} FROM positions LIMIT {missing}"],
                       check=True, capture_output=True)


def timed(url, times=5):
    took = []
    for _ in range(times):
        began = time.monotonic()
        with urllib.request.urlopen(url, timeout=60) as response:
            body = response.read()
        took.append(time.monotonic() - began)
    return statistics.median(took), len(body)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--kaldo", required=True)
    parser.add_argument("--work", default=str(ROOT / "build" / "serve-api-bench"))
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--seed-messages", type=int, default=3000)
    args = parser.parse_args()
    args.kaldo = str(Path(args.kaldo).resolve())
    Path(args.work).mkdir(parents=True, exist_ok=True)
    store = e2e.GeoPackage(args.work)
    began = time.monotonic()
    fill(args, store)
    count = store.rows("SELECT count(*) FROM positions")[0][0]
    middle = store.rows(f"SELECT fid FROM positions ORDER BY fid LIMIT 1 OFFSET {count // 2}")[0][0]
    print(f"store: {count} points, made in {time.monotonic() - began:.0f} s")
    receiver = e2e.Receiver(args.kaldo, store.destination, args.work, e2e.free_port(), e2e.free_port())
    receiver.start()
    api = f"http://127.0.0.1:{receiver.http_port}/api/collections/positions/items?limit=10000"
    cases = [("first page", api), ("a page in the middle", f"{api}&after={middle}"),
             ("a box", f"{api}&bbox=5,40,12,50"), ("one unit", f"{api}&modem_id=300234010000002"),
             ("a time interval", f"{api}&datetime=2024-05-18T00:00:00Z/..")]
    worst = 0
    for name, url in cases:
        median, size = timed(url)
        worst = max(worst, median)
        print(f"{name:22} {median * 1000:7.0f} ms  ({size / 1e6:.1f} MB)")
    receiver.stop()
    print(f"goal: every page within 500 ms: {'met' if worst <= 0.5 else 'NOT met'}")
    return 0 if worst <= 0.5 else 1


if __name__ == "__main__":
    sys.exit(main())
