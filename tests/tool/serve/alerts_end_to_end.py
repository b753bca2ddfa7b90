#!/usr/bin/env python3
"""kaldo serve's emergency alerts, as a program and a web service get them.

  alerts_end_to_end.py --kaldo PATH --work DIR [--store gpkg|postgis] [--check restart|retry|kill ...]

Checks (all by default), into a GeoPackage or a PostgreSQL the test starts:
  restart  an alert program and an alert URL (a listener of the test's own)
           each get every emergency report once: not for other reports, not
           again after a clean stop (SIGTERM), a start and every message
           delivered again.
  retry    a program that fails and a URL that answers 500 are tried again
           (and the failures logged) until they take the alert; meanwhile
           every message is confirmed at once.
  kill     the receiver killed (SIGKILL) while alerts are under way: once
           started again it sends every one of them, at least once.
Every connection goes to 127.0.0.1; every wait is bounded.
"""
import argparse
import importlib.util
import json
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

HERE = Path(__file__).resolve().parent
_spec = importlib.util.spec_from_file_location("serve_end_to_end", HERE / "serve_end_to_end.py")
e2e = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(e2e)
ex = e2e.ex

IMEI = "300234010000077"


def emergency_messages(count, first_momsn=1):
    """`count` messages of one packed report each: even ones emergencies."""
    messages = []
    for n in range(count):
        report = ex.packed_report(12, n, 5, 25, 24, 5, 17, 51, 28, f"{10000 + n:05d}", 0, 7, "67891",
                                  11, "0012345", 5, "00125", 3, "01250", 1, 35999,
                                  emergency=n % 2 == 0)
        messages.append(dict(imei=IMEI, momsn=first_momsn + n, payload=ex.message(3, [report]),
                             emergency=n % 2 == 0))
    return messages


def deliver(receiver, messages):
    """Sends each message; the seconds the slowest confirmation took, or
    raises when one is not confirmed."""
    slowest = 0.0
    for m in messages:
        began = time.monotonic()
        answer = e2e.send_directip(receiver.directip_port, e2e.directip_frame(m["imei"], m["momsn"], m["payload"]))
        if answer != e2e.SUCCESS:
            raise RuntimeError(f"message {m['momsn']} answered {answer!r}; log: {receiver.log_tail()}")
        slowest = max(slowest, time.monotonic() - began)
    return slowest


class AlertService:
    """The --alert-url: records every POST; answers 500 to the first
    `failures` POSTs of each Idempotency-Key, and waits `delay` s first."""

    def __init__(self, failures=0, delay=0.0):
        self.posts, self.lock = [], threading.Lock()
        service = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                key = self.headers.get("Idempotency-Key", "")
                time.sleep(delay)
                with service.lock:
                    service.posts.append((key, self.headers.get("Content-Type"), body))
                    tries = sum(1 for k, _, _ in service.posts if k == key)
                self.send_response(500 if tries <= failures else 200)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/alerts"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def delivered(self):
        """Key -> how many POSTs it had."""
        with self.lock:
            tries = {}
            for key, _, _ in self.posts:
                tries[key] = tries.get(key, 0) + 1
            return tries

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def alert_program(work, failures=0, delay=0.0):
    """A program that records each alert it takes (its variables and its
    input) as a JSON line in work/taken; it fails its first `failures`
    runs for each report, and takes `delay` s."""
    path = Path(work) / "alert.py"
    path.write_text(f"""#!{sys.executable}
import json, os, sys, time
body = sys.stdin.read()
work = {str(work)!r}
with open(os.path.join(work, "runs"), "a") as f:
    f.write(os.environ["KALDO_TIME"] + "\\n")
with open(os.path.join(work, "runs")) as f:
    runs = [line.strip() for line in f].count(os.environ["KALDO_TIME"])
if runs <= {failures}:
    sys.exit(1)
time.sleep({delay})
env = {{k: v for k, v in os.environ.items() if k.startswith("KALDO_")}}
with open(os.path.join(work, "taken"), "a") as f:
    f.write(json.dumps({{"env": env, "body": json.loads(body)}}) + "\\n")
""")
    path.chmod(0o755)
    for name in ("runs", "taken"):
        (Path(work) / name).unlink(missing_ok=True)
    return str(path)


def program_taken(work):
    path = Path(work) / "taken"
    return [json.loads(line) for line in path.read_text().splitlines()] if path.exists() else []


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


def receiver(args, store, program, service):
    return e2e.Receiver(args.kaldo, store.destination, args.work, e2e.free_port(), e2e.free_port(),
                        extra=["--on-emergency", program, "--alert-url", service.url])


def check_taken(work, service, emergencies, problems, at_least_once=False):
    taken = program_taken(work)
    times = sorted(t["body"]["time"] for t in taken)
    counts = {t: times.count(t) for t in times}
    if len(counts) != emergencies or (not at_least_once and len(taken) != emergencies):
        problems.append(f"the program took {len(taken)} alerts of {len(counts)} reports; "
                        f"{emergencies} emergencies were sent")
    for t in taken:
        env, body = t["env"], t["body"]
        if (env.get("KALDO_MODEM_ID") != IMEI or env.get("KALDO_TIME") != body["time"] or
                float(env.get("KALDO_LATITUDE", "nan")) != body["latitude"] or
                float(env.get("KALDO_LONGITUDE", "nan")) != body["longitude"] or body["emergency"] != 1):
            problems.append(f"the program's variables and input disagree: {t}")
            break
    posts = service.delivered()
    if len(posts) != emergencies or (not at_least_once and any(n != 1 for n in posts.values())):
        problems.append(f"the URL got {sum(posts.values())} POSTs under {len(posts)} keys; "
                        f"{emergencies} emergencies were sent")
    for _, content_type, body in service.posts:
        if content_type != "application/json" or json.loads(body)["modem_id"] != IMEI:
            problems.append(f"a POST of {content_type}: {body[:80]!r}")
            break


def check_restart(args, store):
    service = AlertService()
    program = alert_program(args.work)
    messages = emergency_messages(8)
    emergencies = sum(m["emergency"] for m in messages)
    r = receiver(args, store, program, service)
    r.start()
    problems = []
    deliver(r, messages)
    if not wait_for(lambda: len(program_taken(args.work)) >= emergencies and
                    len(service.posts) >= emergencies, 20):
        problems.append("not every alert came within 20 s")
    status, _ = r.stop()
    if status != 0:
        problems.append(f"SIGTERM: exit status {status}")
    r.start()
    deliver(r, messages)  # the gateway's redelivery: duplicates, no new alert
    time.sleep(3)
    r.stop()
    check_taken(args.work, service, emergencies, problems)
    service.close()
    return problems


def check_retry(args, store):
    service = AlertService(failures=2)
    program = alert_program(args.work, failures=2)
    messages = emergency_messages(4)
    emergencies = sum(m["emergency"] for m in messages)
    r = receiver(args, store, program, service)
    r.start()
    problems = []
    slowest = deliver(r, messages[:2])
    time.sleep(1.5)  # the first attempts failed; the next are a few seconds away
    slowest = max(slowest, deliver(r, messages[2:]))
    if slowest > 1.0:
        problems.append(f"a confirmation took {slowest:.2f} s while alerts failed")
    if not wait_for(lambda: len(program_taken(args.work)) >= emergencies and
                    len(service.delivered()) >= emergencies and
                    all(n >= 3 for n in service.delivered().values()), 30):
        problems.append("the failing targets did not take every alert within 30 s")
    r.stop()
    log = (Path(args.work) / "serve.log").read_text(errors="replace")
    failed_lines = [line for line in log.splitlines() if "failed" in line and "alert of" in line]
    if len(failed_lines) < 4 * emergencies:
        problems.append(f"{len(failed_lines)} failed attempts logged; wanted {4 * emergencies}")
    posts = service.delivered()
    if any(n != 3 for n in posts.values()):
        problems.append(f"POSTs per key {sorted(posts.values())}: wanted 3 each (two 500s, then taken)")
    if len(program_taken(args.work)) != emergencies:
        problems.append(f"the program took {len(program_taken(args.work))} alerts, not {emergencies}")
    service.close()
    return problems


def check_kill(args, store):
    service = AlertService(delay=1.0)
    program = alert_program(args.work, delay=1.0)
    messages = emergency_messages(6)
    emergencies = sum(m["emergency"] for m in messages)
    r = receiver(args, store, program, service)
    r.start()
    deliver(r, messages)
    time.sleep(0.3)  # the first alerts are under way
    r.kill()
    before = len(program_taken(args.work)), len(service.posts)
    r.start()
    problems = []
    if not wait_for(lambda: len({t["body"]["time"] for t in program_taken(args.work)}) >= emergencies and
                    len(service.delivered()) >= emergencies, 30):
        problems.append("after SIGKILL not every alert came within 30 s")
    r.stop()
    check_taken(args.work, service, emergencies, problems, at_least_once=True)
    print(f"kill: {emergencies} emergencies; taken before the restart: program {before[0]}, URL {before[1]}; "
          f"after: program {len(program_taken(args.work))}, URL {len(service.posts)}")
    service.close()
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--kaldo", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--store", choices=["gpkg", "postgis"], default="gpkg")
    parser.add_argument("--check", action="append", choices=["restart", "retry", "kill"])
    args = parser.parse_args()
    args.kaldo = str(Path(args.kaldo).resolve())
    args.work = str(Path(args.work).resolve())
    Path(args.work).mkdir(parents=True, exist_ok=True)
    failed = skipped = 0
    for name in args.check or ["restart", "retry", "kill"]:
        try:
            store = e2e.GeoPackage(args.work) if args.store == "gpkg" else e2e.PostGis(args.work)
        except (FileNotFoundError, e2e.subprocess.CalledProcessError) as error:
            if e2e.under_ci():
                print(f"FAIL {name}: {error} (a missing part fails under CI)")
                failed += 1
            else:
                print(f"SKIP {name}: {error}")
                skipped += 1
            continue
        (Path(args.work) / "serve.log").unlink(missing_ok=True)
        try:
            problems = {"restart": check_restart, "retry": check_retry, "kill": check_kill}[name](args, store)
        except Exception as error:  # a crash of the test is a failure, said plainly
            problems = [f"{type(error).__name__}: {error}"]
        e2e.Receiver.end_all()
        store.close()
        if not e2e.print_outcome(name, args.store, problems, args.work):
            failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
