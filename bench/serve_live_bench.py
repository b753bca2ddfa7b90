#!/usr/bin/env python3
"""kaldo serve's live side: how soon an event follows its confirmation with
100 clients on /events, and how the live map opens against the static one.

  bench/serve_live_bench.py --kaldo build/tool/kaldo [--work DIR] [--clients N]
                            [--messages N] [--points N] [--runs N] [--only latency|page]

  latency  --clients (100) clients follow /events while --messages (300)
           DirectIP messages of one new point each go in one at a time; for
           every message and client, the time from its success confirmation
           to the point's event at the client. Goal: p95 at most 100 ms.
  page     --points (100,000) points of 20 units, stored by kaldo serve from
           DirectIP messages and written by `kaldo tracks -o fleet.html`
           from the same messages saved as .sbd files; both pages opened in
           turn (--runs times each) in headless Chromium, timed to the frame
           after they drew. Goal: the live page's median at most 1.2 times
           the static page's.
The work folder should be on disk (default: build/serve-live-bench).
"""
import argparse
import importlib.util
import json
import random
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
_spec = importlib.util.spec_from_file_location(
    "serve_end_to_end", ROOT / "tests" / "tool" / "serve" / "serve_end_to_end.py")
e2e = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(e2e)

UNITS = [f"3002340100{n:05d}" for n in range(20)]
REPORTS_PER_MESSAGE = 10


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))]


def bench_latency(args):
    store = e2e.GeoPackage(args.work)
    receiver = e2e.Receiver(args.kaldo, store.destination, args.work, e2e.free_port(), e2e.free_port())
    receiver.start()
    rng = random.Random(41)
    readers = [e2e.EventReader(receiver.http_port) for _ in range(args.clients)]
    time.sleep(0.5)  # every client past its first line
    confirmed = []
    try:
        for n in range(args.messages):
            report = e2e.report(rng, 1715900000 + 60 * n)
            frame = e2e.directip_frame(UNITS[n % len(UNITS)], n + 1, e2e.ex.message(1, [report]))
            answer = e2e.send_directip(receiver.directip_port, frame)
            confirmed.append(time.monotonic())
            if answer != e2e.SUCCESS:
                raise RuntimeError(f"message {n + 1} answered {answer!r}")
            time.sleep(0.01)
        for reader in readers:
            reader.wait_for(args.messages, timeout=30)
    finally:
        for reader in readers:
            reader.close()
        receiver.stop()
    latencies, early, missing = [], 0, 0
    for reader in readers:
        with reader.lock:
            arrived = [at for _, name, _, at in reader.events if name == "position"]
        missing += args.messages - len(arrived)
        for at, sent in zip(arrived, confirmed):
            # Committed, then confirmed and broadcast at once: an event may
            # come a moment before its confirmation does.
            early += at < sent
            latencies.append(max(0.0, at - sent) * 1000)
    if missing:
        raise RuntimeError(f"{missing} events never arrived")
    p50, p95, p99 = (percentile(latencies, p) for p in (50, 95, 99))
    print(f"latency: {args.clients} clients, {args.messages} messages one at a time: confirmation to event "
          f"p50 {p50:.1f} ms, p95 {p95:.1f} ms, p99 {p99:.1f} ms, max {max(latencies):.1f} ms "
          f"({early} of {len(latencies)} before the confirmation)")
    met = p95 <= 100
    print(f"goal: p95 at most 100 ms: {'met' if met else 'NOT met'}")
    return met


def page_messages(points):
    rng = random.Random(43)
    messages = []
    per_unit = points // REPORTS_PER_MESSAGE // len(UNITS)
    for n in range(per_unit * len(UNITS)):
        unit = n % len(UNITS)
        first = 1715900000 + 60 * REPORTS_PER_MESSAGE * (n // len(UNITS))
        reports = [e2e.report(rng, first + 60 * i) for i in range(REPORTS_PER_MESSAGE)]
        messages.append(dict(imei=UNITS[unit], momsn=n + 1, payload=e2e.ex.message(1, reports)))
    return messages


def bench_page(args):
    node = shutil.which("node")
    if node is None:
        raise RuntimeError("node is not installed")
    messages = page_messages(args.points)
    saved = Path(args.work) / "messages"
    shutil.rmtree(saved, ignore_errors=True)
    saved.mkdir(parents=True)
    for m in messages:
        (saved / f"{m['imei']}_{m['momsn']}.sbd").write_bytes(m["payload"])
    static = Path(args.work) / "fleet.html"
    subprocess.run([args.kaldo, "tracks", "--quiet", "-o", str(static), str(saved)], check=True)

    store = e2e.GeoPackage(args.work)
    receiver = e2e.Receiver(args.kaldo, store.destination, args.work, e2e.free_port(), e2e.free_port())
    receiver.start()
    began = time.monotonic()

    e2e.send_all(receiver.directip_port, messages, 32)
    stored = store.rows("SELECT count(*) FROM positions")[0][0]
    print(f"page: {stored} points stored in {time.monotonic() - began:.0f} s; "
          f"static page {static.stat().st_size / 1e6:.1f} MB")
    try:
        done = subprocess.run([node, str(ROOT / "bench" / "live_page_load.mjs"), static.as_uri(),
                               f"http://127.0.0.1:{receiver.http_port}/", str(args.runs)],
                              capture_output=True, text=True)
    finally:
        receiver.stop()
    if done.returncode != 0:
        raise RuntimeError(f"live_page_load.mjs: {done.stderr.strip()}")
    measured = json.loads(done.stdout)
    if measured["points"]["static"] != measured["points"]["live"]:
        raise RuntimeError(f"the pages hold different points: {measured['points']}")
    medians = {kind: statistics.median(times) / 1000 for kind, times in measured["times"].items()}
    for kind in ("static", "live"):
        runs = " ".join(f"{t / 1000:.2f}" for t in measured["times"][kind])
        print(f"{kind:6} page, {measured['points'][kind]} points: median {medians[kind]:.2f} s (runs {runs})")
    ratio = medians["live"] / medians["static"]
    print(f"goal: the live page within 1.2 times the static page's median: {ratio:.2f} times, "
          f"{'met' if ratio <= 1.2 else 'NOT met'}")
    return ratio <= 1.2


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--kaldo", required=True)
    parser.add_argument("--work", default=str(ROOT / "build" / "serve-live-bench"))
    parser.add_argument("--clients", type=int, default=100)
    parser.add_argument("--messages", type=int, default=300)
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--only", choices=["latency", "page"])
    args = parser.parse_args()
    args.kaldo = str(Path(args.kaldo).resolve())
    args.work = str(Path(args.work).resolve())  # the readiness socket's path must be absolute
    Path(args.work).mkdir(parents=True, exist_ok=True)
    met = True
    if args.only in (None, "latency"):
        met = bench_latency(args) and met
    if args.only in (None, "page"):
        met = bench_page(args) and met
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
