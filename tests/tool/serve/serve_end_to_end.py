#!/usr/bin/env python3
"""kaldo serve as the gateway and the providers meet it, on loopback.

  serve_end_to_end.py --kaldo PATH --work DIR [--store gpkg|postgis] [--check ...]

Checks (all by default):
  ready    systemd hears READY=1 on a socket of the test's own; a DirectIP
           message and a webhook are confirmed, then stored; SIGTERM ends
           the receiver with status 0 within 10 s.
  kill     senders resend every message until it is confirmed while the
           receiver is killed (SIGKILL) and started again and again; then
           every confirmed message is stored exactly once, and `positions`
           holds exactly the distinct reports.
  strace   under strace, a sync of the database comes before every success
           confirmation (GeoPackage only).
  idle     1,000 idle connections cost the receiver less than 100 MB, and it
           still confirms a message meanwhile.
  two      (PostGIS) two receivers on one database, every message sent to
           both: each stored once.
  events   two clients of /events on each receiver (two receivers on one
           PostgreSQL) while messages go to both: every stream shows every
           point once, in the order of the store's event sequence; /api
           pages positions by its next links while points arrive.
  oapif    (GeoPackage) GDAL's OAPIF driver copies `positions` and `tracks`
           through ogr2ogr (PAGE_SIZE=1000, the read token as the Basic
           password) while messages keep arriving: the copy is the store
           up to the last feature it read, nothing twice, nothing skipped;
           with the senders stopped the tracks are the store's; a bbox
           brings exactly the points inside it.
  tls      HTTPS with a CA the test makes (openssl): a webhook and /healthz
           over TLS, then a renewed certificate taken on SIGHUP.
Loops are bounded in count and time; every connection goes to 127.0.0.1.
"""
import argparse
import importlib.util
import os
import random
import re
import resource
import shutil
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

HERE = Path(__file__).resolve().parent
_spec = importlib.util.spec_from_file_location(
    "make_examples", HERE.parents[2] / "examples" / "make_examples.py")
ex = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(ex)

SUCCESS = b"\x01\x00\x04\x05\x00\x01\x01"
FAILURE = b"\x01\x00\x04\x05\x00\x01\x00"
SESSION_TIME = 1715949005  # 2024-05-17 12:30:05 UTC
PG_BIN = "/usr/lib/postgresql/15/bin/"


def under_ci():
    return os.environ.get("CI") == "true"


def element(ident, contents):
    return struct.pack(">BH", ident, len(contents)) + contents


def directip_frame(imei, momsn, payload, session_time=SESSION_TIME):
    header = element(0x01, struct.pack(">I", 1000 + momsn) + imei.encode() +
                     struct.pack(">BHHI", 0, momsn, 0, session_time))
    body = header + (element(0x02, payload) if payload is not None else b"")
    return struct.pack(">BH", 1, len(body)) + body


def report(rng, when):
    """One binary report at `when` (Unix seconds) somewhere in Europe."""
    t = time.gmtime(when)
    return ex.binary_report(
        t.tm_hour, t.tm_min, t.tm_sec, rng.randrange(1000), t.tm_year % 100, t.tm_mon, t.tm_mday,
        rng.randrange(35, 60), rng.randrange(60), rng.randrange(10000),
        rng.randrange(0, 20), rng.randrange(60), rng.randrange(10000),
        8, rng.randrange(3000), 0, rng.randrange(200), 0, rng.randrange(36000), valid=True)


def make_messages(count, seed=11):
    """`count` messages of three units: one or two reports each, and every
    tenth repeats a report of an earlier message of its unit (a unit's
    re-send: no new point). Returns the messages and the number of
    distinct reports among them."""
    rng = random.Random(seed)
    imeis = ["300234010000001", "300234010000002", "300234010000003"]
    messages, sent = [], {imei: [] for imei in imeis}
    distinct = set()
    for n in range(count):
        imei = imeis[n % 3]
        reports = [report(rng, 1715900000 + 60 * n + i) for i in range(rng.randrange(1, 3))]
        if n % 10 == 9 and sent[imei]:
            reports.append(rng.choice(sent[imei]))
        sent[imei].extend(reports)
        for r in reports:
            distinct.add((imei, r[:13]))  # time, latitude and longitude bytes
        messages.append(dict(imei=imei, momsn=n + 1, payload=ex.message(1, reports)))
    return messages, len(distinct)


def start_senders(port, messages, connections, tries=20):
    """Threads, started, that send `messages` over `connections` connections
    at once, each message sent until confirmed, at most `tries` times."""
    def send(batch):
        for m in batch:
            frame = directip_frame(m["imei"], m["momsn"], m["payload"])
            for _ in range(tries):
                if send_directip(port, frame) == SUCCESS:
                    break

    threads = [threading.Thread(target=send, args=(messages[i::connections],)) for i in range(connections)]
    for t in threads:
        t.start()
    return threads


def send_all(port, messages, connections, tries=20):
    """start_senders(), waiting until every one is done."""
    for t in start_senders(port, messages, connections, tries):
        t.join()


def send_directip(port, frame, timeout=10.0):
    """The receiver's answer, b"" when it closed without one, None when it
    could not be reached."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(frame)
            answer = b""
            while True:
                chunk = s.recv(64)
                if not chunk:
                    return answer
                answer += chunk
    except OSError:
        return None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Receiver:
    """kaldo serve, told where to listen, with a systemd notification
    socket of its own."""

    # Every process started, so that a check that stops early (an
    # exception) leaves none running: see end_all().
    started = []

    def __init__(self, kaldo, store, work, directip_port, http_port, wrap=(), extra=()):
        self.kaldo, self.store, self.work = kaldo, store, Path(work)
        self.directip_port, self.http_port, self.wrap = directip_port, http_port, list(wrap)
        self.extra = list(extra)
        self.proc = None
        self.starts = 0

    def start(self, timeout=30.0):
        notify_path = self.work / f"notify-{os.getpid()}-{self.starts}"
        self.starts += 1
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(str(notify_path))
        notify.settimeout(timeout)
        env = dict(os.environ, NOTIFY_SOCKET=str(notify_path))
        log = open(self.work / "serve.log", "ab")
        self.proc = subprocess.Popen(
            self.wrap + [self.kaldo, "serve", "--store", self.store,
                         "--directip", f"127.0.0.1:{self.directip_port}",
                         "--http", f"127.0.0.1:{self.http_port}", "--read-timeout", "5"] + self.extra,
            stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env)
        Receiver.started.append(self)
        log.close()
        try:
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline:
                message = notify.recv(4096).decode()
                if "READY=1" in message.split("\n"):
                    return message
            raise RuntimeError("no READY=1 in time")
        except (OSError, RuntimeError) as error:
            # A receiver that never got ready is ended, not left behind.
            self.proc.kill()
            self.proc.wait()
            raise RuntimeError(f"kaldo serve did not say it was ready: {error}; "
                               f"log: {self.log_tail()}") from error
        finally:
            notify.close()
            notify_path.unlink()

    def receiver_pid(self):
        """kaldo serve's own process: under a wrapper (strace), its child.
        A signal to strace would only detach it and leave serve running."""
        if not self.wrap:
            return self.proc.pid
        try:
            children = Path(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children").read_text().split()
        except OSError:
            children = []
        return int(children[0]) if children else self.proc.pid

    def signal(self, number):
        try:
            os.kill(self.receiver_pid(), number)
        except ProcessLookupError:
            pass

    def kill(self):
        self.signal(signal.SIGKILL)
        self.proc.wait()

    def stop(self, limit=10.0):
        """SIGTERM; the exit status and the seconds it took."""
        began = time.monotonic()
        self.signal(signal.SIGTERM)
        try:
            status = self.proc.wait(timeout=limit + 5)
        except subprocess.TimeoutExpired:
            self.signal(signal.SIGKILL)
            self.proc.kill()
            status = self.proc.wait()
        return status, time.monotonic() - began

    @classmethod
    def end_all(cls):
        """Kills whatever a check left running."""
        for receiver in cls.started:
            if receiver.proc.poll() is None:
                receiver.signal(signal.SIGKILL)
                receiver.proc.kill()
                receiver.proc.wait()
        cls.started.clear()

    def log_tail(self):
        path = self.work / "serve.log"
        return path.read_bytes()[-2000:].decode("utf-8", "replace") if path.exists() else ""


# ------------------------------------------------------------------ stores

class GeoPackage:
    def __init__(self, work):
        self.path = str(Path(work) / "fleet.gpkg")
        for suffix in ("", "-wal", "-shm", "-journal"):
            Path(self.path + suffix).unlink(missing_ok=True)
        self.destination = self.path

    def rows(self, sql):
        with sqlite3.connect(f"file:{self.path}?mode=ro", uri=True) as db:
            return db.execute(sql).fetchall()

    def close(self):
        pass


class PostGis:
    """A PostgreSQL server of the test's own, on a unix socket in a
    temporary directory (as the postgres user when the test runs as root)."""

    def __init__(self, work):
        if not Path(PG_BIN + "initdb").exists():
            raise FileNotFoundError("PostgreSQL 15 is not installed")
        self.dir = tempfile.mkdtemp(prefix="kaldo-serve-pg-")
        self.as_server = ["runuser", "-u", "postgres", "--"] if os.geteuid() == 0 else []
        if os.geteuid() == 0:
            shutil.chown(self.dir, "postgres", "postgres")
        self.port = str(free_port())
        data = self.dir + "/data"
        self.run([PG_BIN + "initdb", "-D", data, "-U", "postgres", "-A", "trust", "-E", "UTF8",
                  "--no-locale", "--no-sync"])
        self.run([PG_BIN + "pg_ctl", "-D", data, "-l", self.dir + "/log", "-w", "-o",
                  f"-k {self.dir} -p {self.port} -c listen_addresses=''", "start"])
        self.psql("postgres", "CREATE DATABASE fleet")
        self.psql("fleet", "CREATE EXTENSION postgis")
        self.destination = f"PG:host={self.dir} port={self.port} dbname=fleet user=postgres"

    def run(self, command):
        subprocess.run(self.as_server + command, check=True, capture_output=True)

    def psql(self, database, sql):
        done = subprocess.run(self.as_server + [PG_BIN + "psql", "-X", "-q", "-A", "-t", "-F", "\t",
                                                "-v", "ON_ERROR_STOP=1", "-h", self.dir, "-p", self.port,
                                                "-U", "postgres", "-d", database, "-c", sql],
                              check=True, capture_output=True, text=True)
        return done.stdout

    def rows(self, sql):
        return [tuple(line.split("\t")) for line in self.psql("fleet", sql).splitlines() if line]

    def close(self):
        subprocess.run(self.as_server + [PG_BIN + "pg_ctl", "-D", self.dir + "/data", "-m", "fast",
                                         "-w", "stop"], capture_output=True)
        shutil.rmtree(self.dir, ignore_errors=True)


def stored_keys(store):
    return [(imei, int(momsn)) for imei, momsn in store.rows("SELECT imei, momsn FROM messages")]


# ------------------------------------------------------------------ checks

def check_ready(args, store):
    receiver = Receiver(args.kaldo, store.destination, args.work, free_port(), free_port())
    status_text = receiver.start()
    problems = []
    if "DirectIP" not in status_text:
        problems.append(f"the readiness status does not say where it listens: {status_text!r}")
    messages, _ = make_messages(2, seed=3)
    answer = send_directip(receiver.directip_port, directip_frame(messages[0]["imei"], 1, messages[0]["payload"]))
    if answer != SUCCESS:
        problems.append(f"DirectIP answer {answer!r}, not the success confirmation")
    body = ("imei=300234010000009&momsn=7&transmit_time=24-05-17%2012%3A30%3A05&data=" +
            messages[1]["payload"].hex()).encode()
    request = urllib.request.Request(f"http://127.0.0.1:{receiver.http_port}/webhooks/rockblock",
                                     data=body, method="POST")
    with urllib.request.urlopen(request, timeout=10) as response:
        if response.status != 200:
            problems.append(f"webhook answered {response.status}")
    status, took = receiver.stop()
    if status != 0 or took > 10:
        problems.append(f"SIGTERM: exit status {status} after {took:.1f} s (wanted 0 within 10 s)")
    keys = sorted(stored_keys(store))
    if keys != [("300234010000001", 1), ("300234010000009", 7)]:
        problems.append(f"stored {keys}")
    return problems


def check_kill(args, store):
    messages, distinct = make_messages(args.messages)
    receiver = Receiver(args.kaldo, store.destination, args.work, free_port(), free_port())
    receiver.start()
    pending = list(range(len(messages)))
    random.Random(5).shuffle(pending)
    lock = threading.Lock()
    confirmed, failures = set(), [0]
    deadline = time.monotonic() + args.seconds

    def sender():
        while time.monotonic() < deadline:
            with lock:
                if not pending:
                    return
                index = pending.pop()
            m = messages[index]
            frame = directip_frame(m["imei"], m["momsn"], m["payload"])
            while time.monotonic() < deadline:
                answer = send_directip(receiver.directip_port, frame)
                if answer == SUCCESS:
                    with lock:
                        confirmed.add((m["imei"], m["momsn"]))
                    break
                with lock:
                    failures[0] += 1
                time.sleep(0.05)  # the gateway waits longer; the test cannot

    threads = [threading.Thread(target=sender) for _ in range(args.senders)]
    for t in threads:
        t.start()
    rng = random.Random(9)
    kills = 0
    while kills < args.kills and any(t.is_alive() for t in threads) and time.monotonic() < deadline:
        time.sleep(rng.uniform(0.05, 0.3))
        receiver.kill()
        kills += 1
        receiver.start()
    for t in threads:
        t.join()
    status, _ = receiver.stop()
    problems = []
    if status != 0:
        problems.append(f"the last stop ended with status {status}")
    if kills < args.kills:
        problems.append(f"only {kills} kills before every message was confirmed: too little load to test")
    if failures[0] == 0:
        problems.append("no kill ever met a message in flight: too little load to test")
    keys = stored_keys(store)
    twice = len(keys) - len(set(keys))
    missing = confirmed - set(keys)
    if len(confirmed) != len(messages):
        problems.append(f"only {len(confirmed)} of {len(messages)} messages confirmed in {args.seconds} s")
    if twice:
        problems.append(f"{twice} messages stored more than once")
    if missing:
        problems.append(f"{len(missing)} confirmed messages not stored, such as {sorted(missing)[:3]}")
    positions = int(store.rows("SELECT count(*) FROM positions")[0][0])
    if len(confirmed) == len(messages) and positions != distinct:
        problems.append(f"positions holds {positions} points; the messages have {distinct} distinct reports")
    print(f"kill: {len(messages)} messages, {args.senders} senders, {kills} kills, "
          f"{failures[0]} unconfirmed tries resent, {len(keys)} stored, {positions} positions")
    return problems


def check_strace(args, store):
    if not shutil.which("strace"):
        raise FileNotFoundError("strace is not installed")
    trace = Path(args.work) / "serve.strace"
    receiver = Receiver(args.kaldo, store.destination, args.work, free_port(), free_port(),
                        wrap=["strace", "-f", "-qq", "-s", "16", "-e",
                              "trace=fsync,fdatasync,sync_file_range,write,writev,sendto,sendmsg",
                              "-o", str(trace)])
    receiver.start()
    messages, _ = make_messages(12, seed=21)
    answers = [send_directip(receiver.directip_port, directip_frame(m["imei"], m["momsn"], m["payload"]))
               for m in messages]
    receiver.stop()
    problems = []
    if answers.count(SUCCESS) != len(messages):
        problems.append(f"only {answers.count(SUCCESS)} of {len(messages)} confirmed under strace")
    synced, confirmations, unsynced = False, 0, 0
    confirmation = re.compile(r'(write|sendto|sendmsg|writev)\(.*\\1\\0\\4\\5\\0\\1\\1')
    for line in trace.read_text(errors="replace").splitlines():
        if re.search(r"\b(fsync|fdatasync)\(", line) and ("= 0" in line):
            synced = True
        elif re.search(r"\b(fsync|fdatasync) resumed>.*= 0", line):
            synced = True
        elif confirmation.search(line):
            confirmations += 1
            if not synced:
                unsynced += 1
            synced = False
    if confirmations != len(messages):
        problems.append(f"the trace shows {confirmations} success confirmations, not {len(messages)}")
    if unsynced:
        problems.append(f"{unsynced} success confirmations without a sync before them")
    print(f"strace: {confirmations} success confirmations, each after a sync: {unsynced == 0}")
    return problems


def ogr2ogr(args, receiver, token, out, layers, *options):
    """Copies `layers` of the receiver's API into the GeoPackage `out`."""
    if not shutil.which("ogr2ogr"):
        raise FileNotFoundError("ogr2ogr (gdal-bin) is not installed")
    Path(out).unlink(missing_ok=True)
    env = dict(os.environ, GDAL_HTTP_AUTH="BASIC", GDAL_HTTP_USERPWD=f"fleet:{token}")
    command = ["ogr2ogr", "-f", "GPKG", "-preserve_fid", "-oo", "PAGE_SIZE=1000", *options, out,
               f"OAPIF:http://127.0.0.1:{receiver.http_port}/api", *layers]
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        raise RuntimeError(f"ogr2ogr failed: {done.stderr[-500:]}")


def copied(path, sql):
    with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as db:
        return db.execute(sql).fetchall()


def check_oapif(args, store):
    if not isinstance(store, GeoPackage):
        return []
    token = "oapif-read-token"
    token_file = Path(args.work) / "read-token"
    token_file.write_text(token + "\n")
    receiver = Receiver(args.kaldo, store.destination, args.work, free_port(), free_port(),
                        extra=["--read-token-file", str(token_file)])
    receiver.start()
    messages, _ = make_messages(args.oapif_messages, seed=21)
    first, later = messages[: len(messages) * 3 // 4], messages[len(messages) * 3 // 4:]
    problems = []

    send_all(receiver.directip_port, first, 8)
    # The rest arrives while GDAL pages.
    arriving = start_senders(receiver.directip_port, later, 2)
    out = str(Path(args.work) / "oapif.gpkg")
    began = time.monotonic()
    try:
        ogr2ogr(args, receiver, token, out, ["positions"])
    finally:
        for t in arriving:
            t.join()
    took = time.monotonic() - began
    copy = [(fid, unit, when) for fid, unit, when in copied(out, "SELECT fid, modem_id, \"time\" FROM positions ORDER BY fid")]
    last = copy[-1][0] if copy else 0
    stored = [tuple(r) for r in store.rows(f"SELECT fid, modem_id, \"time\" FROM positions WHERE fid <= {last} ORDER BY fid")]
    if len({fid for fid, _, _ in copy}) != len(copy):
        problems.append("a feature came twice")
    if copy != stored:
        missing = set(stored) - set(copy)
        problems.append(f"the copy of positions ({len(copy)}) is not the store up to fid {last} ({len(stored)}): "
                        f"{len(missing)} missing or different, such as {sorted(missing)[:2]}")
    first_copy = len(copy)
    if len(copy) < args.oapif_messages // 2:
        problems.append(f"only {len(copy)} points copied: too few to page")
    # Everything has arrived now: the whole of both layers.
    ogr2ogr(args, receiver, token, out, ["positions", "tracks"])
    for layer, columns in (("positions", "fid, modem_id, \"time\""), ("tracks", "fid, modem_id, first_time, last_time, points")):
        copy = copied(out, f"SELECT {columns} FROM {layer} ORDER BY fid")
        stored = [tuple(r) for r in store.rows(f"SELECT {columns} FROM {layer} ORDER BY fid")]
        if copy != stored:
            problems.append(f"{layer}: the copy ({len(copy)} rows) differs from the store ({len(stored)} rows)")
    # A box: exactly the store's points inside it (its R-tree of extents).
    west, south, east, north = 5.0, 40.0, 12.0, 50.0
    ogr2ogr(args, receiver, token, out, ["positions"], "-spat", str(west), str(south), str(east), str(north))
    inside = {r[0] for r in copied(out, "SELECT fid FROM positions")}
    expected = {r[0] for r in store.rows(
        f"SELECT id FROM rtree_positions_geom WHERE minx >= {west} AND maxx <= {east} "
        f"AND miny >= {south} AND maxy <= {north}")}
    if inside != expected or not expected:
        problems.append(f"bbox: {len(inside)} points copied, {len(expected)} in the box")
    # Without the token: refused.
    try:
        urllib.request.urlopen(f"http://127.0.0.1:{receiver.http_port}/api/collections", timeout=10)
        problems.append("the API answered without the token")
    except urllib.error.HTTPError as error:
        if error.code != 401:
            problems.append(f"without the token: {error.code}, not 401")
    status, _ = receiver.stop()
    if status != 0:
        problems.append(f"stop: status {status}")
    total = store.rows("SELECT count(*) FROM positions")[0][0]
    print(f"oapif: {len(messages)} messages, {total} points; {first_copy} copied in {took:.1f} s "
          f"while the last quarter of the messages arrived")
    return problems


def make_certificate(work, name):
    """server.pem and server.key for 127.0.0.1, signed by the test's CA
    (made at the first call); returns the CA's file."""
    work = Path(work)
    ca, ca_key = work / "ca.pem", work / "ca.key"
    if not ca.exists():
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=kaldo-test-ca", "-keyout", str(ca_key), "-out", str(ca)],
                       check=True, capture_output=True)
    (work / "san.ext").write_text("subjectAltName=IP:127.0.0.1\n")
    subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={name}",
                    "-keyout", str(work / "server.key"), "-out", str(work / "server.csr")],
                   check=True, capture_output=True)
    subprocess.run(["openssl", "x509", "-req", "-days", "2", "-in", str(work / "server.csr"), "-CA", str(ca),
                    "-CAkey", str(ca_key), "-CAcreateserial", "-extfile", str(work / "san.ext"),
                    "-out", str(work / "server.pem")], check=True, capture_output=True)
    return str(ca)


def served_name(port, ca):
    """The common name of the certificate the port answers with, and the
    status of GET /healthz over that connection."""
    import http.client
    import ssl
    context = ssl.create_default_context(cafile=ca)
    connection = http.client.HTTPSConnection("127.0.0.1", port, context=context, timeout=10)
    connection.request("GET", "/healthz")
    status = connection.getresponse().status
    subject = dict(pair[0] for pair in connection.sock.getpeercert()["subject"])
    connection.close()
    return subject.get("commonName"), status


def check_tls(args, store):
    if not shutil.which("openssl"):
        raise FileNotFoundError("openssl (the program) makes the test's certificates")
    import ssl
    work = Path(args.work)
    for stale in ("ca.pem", "ca.key"):
        (work / stale).unlink(missing_ok=True)
    ca = make_certificate(work, "first")
    receiver = Receiver(args.kaldo, store.destination, args.work, free_port(), free_port(),
                        extra=["--tls-cert", str(work / "server.pem"), "--tls-key", str(work / "server.key")])
    receiver.start()
    problems = []
    messages, _ = make_messages(1, seed=4)
    body = ("imei=300234010000009&momsn=7&transmit_time=24-05-17%2012%3A30%3A05&data=" +
            messages[0]["payload"].hex()).encode()
    request = urllib.request.Request(f"https://127.0.0.1:{receiver.http_port}/webhooks/rockblock",
                                     data=body, method="POST")
    with urllib.request.urlopen(request, timeout=10, context=ssl.create_default_context(cafile=ca)) as response:
        if response.status != 200:
            problems.append(f"webhook over HTTPS answered {response.status}")
    name, status = served_name(receiver.http_port, ca)
    if (name, status) != ("first", 200):
        problems.append(f"before SIGHUP: certificate {name}, /healthz {status}")
    make_certificate(work, "second")
    receiver.proc.send_signal(signal.SIGHUP)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and name != "second":
        time.sleep(0.1)
        name, status = served_name(receiver.http_port, ca)
    if (name, status) != ("second", 200):
        problems.append(f"after SIGHUP: certificate {name}, /healthz {status}")
    if receiver.proc.poll() is not None:
        problems.append("SIGHUP ended the receiver")
    status, _ = receiver.stop()
    if status != 0:
        problems.append(f"stop: status {status}")
    if stored_keys(store) != [("300234010000009", 7)]:
        problems.append(f"stored {stored_keys(store)}")
    return problems


def resident_mb(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return 0.0


def check_idle(args, store):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < 1200:
        raise FileNotFoundError(f"the open-file limit ({hard}) is too low for 1,000 connections")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, 1200), hard))
    receiver = Receiver(args.kaldo, store.destination, args.work, free_port(), free_port())
    receiver.start()
    idle = []
    problems = []
    try:
        for _ in range(1000):
            idle.append(socket.create_connection(("127.0.0.1", receiver.directip_port), timeout=10))
        time.sleep(0.5)
        rss = resident_mb(receiver.proc.pid)
        m = make_messages(1, seed=4)[0][0]
        answer = send_directip(receiver.directip_port, directip_frame(m["imei"], m["momsn"], m["payload"]))
        if answer != SUCCESS:
            problems.append(f"with 1,000 idle connections a message got {answer!r}")
        if args.memory_limit_mb and rss >= args.memory_limit_mb:
            problems.append(f"1,000 idle connections: {rss:.0f} MB resident (limit {args.memory_limit_mb} MB)")
        print(f"idle: 1,000 idle connections, {rss:.1f} MB resident")
    finally:
        for s in idle:
            s.close()
    status, took = receiver.stop()
    if status != 0:
        problems.append(f"stopped with status {status} after {took:.1f} s")
    return problems


def check_two(args, store):
    if args.store != "postgis":
        return []
    messages, distinct = make_messages(60, seed=8)
    first = Receiver(args.kaldo, store.destination, args.work, free_port(), free_port())
    second = Receiver(args.kaldo, store.destination, args.work, free_port(), free_port())
    first.start()
    second.start()
    problems = []

    def deliver(receiver, order):
        for m in order:
            answer = send_directip(receiver.directip_port, directip_frame(m["imei"], m["momsn"], m["payload"]))
            if answer != SUCCESS:
                problems.append(f"{m['imei']}/{m['momsn']}: {answer!r}")

    threads = [threading.Thread(target=deliver, args=(first, messages)),
               threading.Thread(target=deliver, args=(second, list(reversed(messages))))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in (first, second):
        r.stop()
    keys = stored_keys(store)
    if len(keys) != len(messages) or len(set(keys)) != len(keys):
        problems.append(f"{len(keys)} rows for {len(messages)} messages sent to both receivers")
    positions = int(store.rows("SELECT count(*) FROM positions")[0][0])
    if positions != distinct:
        problems.append(f"positions holds {positions} points; the messages have {distinct} distinct reports")
    return problems


class EventReader:
    """A client of /events on a thread of its own: every event as (id,
    name, feature id, time it arrived)."""

    def __init__(self, port, query=""):
        import http.client
        self.events, self.lock, self.closing = [], threading.Lock(), False
        self.connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        self.connection.request("GET", "/events" + query)
        self.response = self.connection.getresponse()
        if self.response.status != 200:
            raise RuntimeError(f"/events answered {self.response.status}")
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        import json
        fields = {}
        try:
            for raw in self.response:
                line = raw.decode().rstrip("\n")
                if line:
                    name, _, value = line.partition(": ")
                    fields[name] = value
                    continue
                if "event" in fields:
                    feature = json.loads(fields.get("data", "{}"))
                    with self.lock:
                        self.events.append((int(fields["id"]), fields["event"], feature.get("id"),
                                            time.monotonic()))
                fields = {}
        except Exception:  # noqa: BLE001 - what a shut-down socket raises varies
            if not self.closing:
                raise

    def positions(self):
        with self.lock:
            return [(i, fid) for i, name, fid, _ in self.events if name == "position"]

    def wait_for(self, count, timeout=30.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and len(self.positions()) < count:
            time.sleep(0.02)
        return self.positions()

    def close(self):
        self.closing = True
        try:
            self.connection.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.connection.close()
        self.thread.join(timeout=10)


def get_json(port, target):
    import json
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{target}", timeout=30) as response:
        return json.load(response)


def page_through(port, limit):
    """Every feature id of positions, paged by `next` links; the problems."""
    ids, problems, target = [], [], f"/api/collections/positions/items?limit={limit}"
    for _ in range(10000):
        page = get_json(port, target)
        got = [f["id"] for f in page["features"]]
        if page.get("numberReturned") != len(got):
            problems.append(f"numberReturned {page.get('numberReturned')} on a page of {len(got)}")
        if len(got) > limit:
            problems.append(f"a page of {len(got)} for limit={limit}")
        ids.extend(got)
        following = [link["href"] for link in page["links"] if link["rel"] == "next"]
        if not following or not got:
            return ids, page.get("numberMatched"), problems
        target = following[0][following[0].index("/api/"):]
    problems.append("the next links never ended")
    return ids, None, problems


def check_events(args, store):
    """Event streams in commit order: two receivers on one PostgreSQL (one on
    a GeoPackage) each followed by two clients while messages go to both;
    every stream shows every point once, in one order, with rising ids.
    Then /api pages positions by its next links while points arrive."""
    two = args.store == "postgis"
    receivers = [Receiver(args.kaldo, store.destination, args.work, free_port(), free_port())
                 for _ in range(2 if two else 1)]
    for r in receivers:
        r.start()
    problems = []
    readers = [EventReader(r.http_port) for r in receivers for _ in range(2)]
    messages, distinct = make_messages(240, seed=17)

    def deliver(order):
        for n, m in enumerate(order):
            receiver = receivers[n % len(receivers)]
            if send_directip(receiver.directip_port, directip_frame(m["imei"], m["momsn"], m["payload"])) != SUCCESS:
                problems.append(f"{m['imei']}/{m['momsn']} not confirmed")

    # Half of the messages sent to both receivers at once, in opposite orders:
    # the same points committed by two processes racing each other.
    half = messages[:120]
    threads = [threading.Thread(target=deliver, args=(half,)),
               threading.Thread(target=deliver, args=(list(reversed(half)),))]
    for t in threads:
        t.start()
    # The rest while a client pages through /api: nothing twice, nothing skipped.
    later = threading.Thread(target=deliver, args=(messages[120:],))
    for t in threads:
        t.join()
    later.start()
    paged, _, paging_problems = page_through(receivers[0].http_port, 7)
    later.join()
    problems += paging_problems
    stored = [int(r[0]) for r in store.rows("SELECT fid FROM positions ORDER BY fid")]
    if len(set(paged)) != len(paged):
        problems.append("paging while points arrived sent a feature twice")
    if paged != stored[:len(paged)]:
        problems.append(f"paging while points arrived: {len(paged)} ids, not the store's first {len(paged)}")
    paged, matched, paging_problems = page_through(receivers[0].http_port, 50)
    problems += paging_problems
    if paged != stored or matched != len(stored):
        problems.append(f"paging: {len(paged)} ids (numberMatched {matched}), the store has {len(stored)}")
    if len(stored) != distinct:
        problems.append(f"positions holds {len(stored)} points; the messages have {distinct} distinct reports")
    streams = [reader.wait_for(len(stored)) for reader in readers]
    for reader in readers:
        reader.close()
    for r in receivers:
        r.stop()
    order = [int(r[0]) for r in store.rows("SELECT position_fid FROM position_events ORDER BY id")]
    for n, stream in enumerate(streams):
        ids = [i for i, _ in stream]
        fids = [fid for _, fid in stream]
        if ids != sorted(set(ids)):
            problems.append(f"stream {n}: event ids not rising or repeated")
        if sorted(fids) != stored:
            problems.append(f"stream {n}: {len(set(fids))} of {len(stored)} points "
                            f"({len(fids) - len(set(fids))} twice)")
        if fids != order:
            problems.append(f"stream {n}: not in the order of the store's event sequence")
    print(f"events: {len(receivers)} receivers, {len(readers)} streams, {len(stored)} points; "
          f"each stream got {[len(s) for s in streams]}")
    return problems


def print_outcome(name, store, problems, work):
    """Prints a check's outcome, with the receiver's last log lines when it
    failed; whether it passed."""
    if not problems:
        print(f"ok {name} ({store})")
        return True
    print(f"FAIL {name} ({store}):")
    for p in problems:
        print(f"  {p}")
    log = Path(work) / "serve.log"
    if log.exists():
        print("  receiver log, last lines:\n    " +
              "\n    ".join(log.read_text(errors="replace").splitlines()[-15:]))
    return False


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--kaldo", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--store", choices=["gpkg", "postgis"], default="gpkg")
    parser.add_argument("--check", action="append", choices=["ready", "kill", "strace", "idle", "two", "oapif", "tls", "events"])
    parser.add_argument("--messages", type=int, default=4000)
    parser.add_argument("--senders", type=int, default=16)
    parser.add_argument("--kills", type=int, default=10)
    parser.add_argument("--seconds", type=float, default=120)
    parser.add_argument("--memory-limit-mb", type=float, default=100,
                        help="the idle check's bound; 0: none (a sanitizer's build)")
    parser.add_argument("--oapif-messages", type=int, default=3000,
                        help="messages of the oapif check (one or two points each)")
    args = parser.parse_args()
    args.kaldo = str(Path(args.kaldo).resolve())
    Path(args.work).mkdir(parents=True, exist_ok=True)
    checks = args.check or (["ready", "kill", "strace", "idle", "oapif", "tls", "events"] if args.store == "gpkg"
                            else ["ready", "kill", "two", "events"])
    passed = failed = skipped = 0
    for name in checks:
        try:
            store = GeoPackage(args.work) if args.store == "gpkg" else PostGis(args.work)
        except (FileNotFoundError, subprocess.CalledProcessError) as error:
            if under_ci():
                print(f"FAIL {name}: {error} (a missing part fails under CI)")
                failed += 1
            else:
                print(f"SKIP {name}: {error}")
                skipped += 1
            continue
        try:
            problems = {"ready": check_ready, "kill": check_kill, "strace": check_strace,
                        "idle": check_idle, "two": check_two, "oapif": check_oapif, "tls": check_tls,
                        "events": check_events}[name](args, store)
        except FileNotFoundError as error:
            problems = [str(error)] if under_ci() else None
            if problems is None:
                print(f"SKIP {name}: {error}")
                skipped += 1
                store.close()
                continue
        except Exception as error:  # a crash of the test is a failure, said plainly
            problems = [f"{type(error).__name__}: {error}"]
        Receiver.end_all()
        store.close()
        if print_outcome(name, args.store, problems, args.work):
            passed += 1
        else:
            failed += 1
    print(f"{passed} passed, {failed} failed" + (f", {skipped} skipped" if skipped else ""))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
