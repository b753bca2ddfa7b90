#!/usr/bin/env python3
"""kaldo convert against Kaldo_Command_Line on a whole generated archive.

Generates an archive of every kind of input (make_archive.py), reads it
independently with Python's own email and mailbox modules in the order
kaldo walks it, saves every message as the file a user would save
(the attachment as .sbd, an SMS e-mail as .eml with CR LF line ends), runs
Kaldo_Command_Line on each saved file, and compares every output file
kaldo convert writes with those, byte for byte, in several formats and
with one and two jobs. The reports of both runs must be identical.

    end_to_end_archive.py --kaldo PATH --single PATH --work DIR [--messages N]
"""
import argparse
import email
import email.policy
import json
import mailbox
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import make_archive  # noqa: E402

SBD_ENDINGS = (b".sbd", b".SBD")
EML_ENDINGS = (b".eml", b".EML")


def clean_name(name):
    name = re.split(rb"[/\\]", name)[-1][:200]
    name = bytes(b if b >= 0x20 and b != 0x7F else ord("_") for b in name)
    return b"_" + name if name in (b"", b".", b"..") else name


def messages_of_email(raw, stored_locally, sms_name, source, index):
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    found = []
    for part in msg.walk():
        name = part.get_filename()
        if name and name.encode().endswith(SBD_ENDINGS):
            found.append(dict(kind="sbd", name=name.encode(), bytes=part.get_payload(decode=True) or b"",
                              source=source, index=index, part=name))
    if found:
        return found
    saved = make_archive.wire_line_ends(raw) if stored_locally else raw
    return [dict(kind="sms", name=sms_name, bytes=saved, source=source, index=index, part=None)]


def walk(path, out):
    """Every message under `path`, in kaldo's order: names in byte order,
    a Maildir's cur/ then new/, an mbox e-mail by e-mail."""
    if path.is_dir():
        if (path / "cur").is_dir() and (path / "new").is_dir():
            for sub in ("cur", "new"):
                for name in sorted(os.listdir(os.fsencode(path / sub))):
                    if name.startswith(b"."):
                        continue
                    file = path / sub / os.fsdecode(name)
                    sms = name if name.endswith(b".eml") else name + b".eml"
                    out += messages_of_email(file.read_bytes(), True, sms, str(file), None)
            for name in sorted(os.listdir(os.fsencode(path))):
                if name not in (b"cur", b"new", b"tmp") and (path / os.fsdecode(name)).is_dir():
                    walk(path / os.fsdecode(name), out)
            return
        for name in sorted(os.listdir(os.fsencode(path))):
            walk(path / os.fsdecode(name), out)
        return
    name = os.fsencode(path.name)
    if name.endswith(SBD_ENDINGS):
        out.append(dict(kind="sbd", name=name, bytes=path.read_bytes(), source=str(path), index=None, part=None))
    elif name.endswith(EML_ENDINGS):
        out += messages_of_email(path.read_bytes(), False, name, str(path), None)
    elif path.read_bytes()[:5] == b"From ":
        box = mailbox.mbox(str(path), create=False)
        for i, key in enumerate(box.iterkeys(), start=1):
            out += messages_of_email(box.get_bytes(key), True, name + b".%d.eml" % i, str(path), i)
        box.close()


def expected_outputs(messages, single, format_number, scratch):
    """Output name -> the bytes Kaldo_Command_Line prints for the message
    saved as a file; duplicates get none."""
    taken, seen, expected = set(), set(), {}
    for n, m in enumerate(messages, start=1):
        base = clean_name(m["name"])
        key = (base, m["bytes"])
        if key in seen:
            m["duplicate"] = True
            continue
        seen.add(key)
        suffix = 0
        while True:
            out = base + (b".txt" if suffix == 0 else b".%d.txt" % suffix)
            suffix = 2 if suffix == 0 else suffix + 1
            if out not in taken:
                break
        taken.add(out)
        folder = scratch / str(n)
        folder.mkdir(parents=True, exist_ok=True)
        saved = folder / os.fsdecode(base)
        saved.write_bytes(m["bytes"])
        run = subprocess.run([single, str(saved), str(format_number)], capture_output=True)
        expected[out] = run.stdout
        m["output"] = out
    return expected


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kaldo", required=True)
    parser.add_argument("--single", required=True)
    parser.add_argument("--work", required=True, type=Path)
    parser.add_argument("--messages", type=int, default=1200)
    parser.add_argument("--formats", default="7,1,10")
    args = parser.parse_args()

    work = args.work
    shutil.rmtree(work, ignore_errors=True)
    archive = work / "archive"
    import random
    make_archive.write_archive(archive, random.Random(7), args.messages)
    messages = []
    walk(archive, messages)
    kinds = {k: sum(1 for m in messages if m["kind"] == k) for k in ("sbd", "sms")}
    print("messages: %d (%s)" % (len(messages), kinds))
    assert len(messages) >= args.messages, "the archive holds fewer messages than asked for"
    assert kinds["sbd"] and kinds["sms"], "every kind of message must be there"

    failures = 0
    for format_number in [int(f) for f in args.formats.split(",")]:
        expected = expected_outputs(messages, args.single, format_number, work / ("saved%d" % format_number))
        reports = []
        for jobs in (1, 2):
            out = work / ("out%d_%d" % (format_number, jobs))
            report = work / ("report%d_%d.json" % (format_number, jobs))
            run = subprocess.run([args.kaldo, "convert", "--format", str(format_number), "--jobs", str(jobs),
                                  "--report", str(report), "--quiet", "-o", str(out), str(archive)],
                                 capture_output=True)
            if run.returncode not in (0, 1):
                print("kaldo convert exited with %d: %s" % (run.returncode, run.stderr.decode()))
                return 1
            written = {os.fsencode(p.name): p.read_bytes() for p in out.iterdir()}
            missing = sorted(set(expected) - set(written))
            extra = sorted(set(written) - set(expected))
            differ = sorted(n for n in set(expected) & set(written) if expected[n] != written[n])
            for label, names in (("missing", missing), ("unexpected", extra), ("different", differ)):
                if names:
                    failures += 1
                    print("format %d, %d jobs: %d %s output files, e.g. %s"
                          % (format_number, jobs, len(names), label, names[:5]))
            data = json.loads(report.read_text(encoding="utf-8"))
            reports.append(report.read_bytes())
            if len(data["messages"]) != len(messages):
                failures += 1
                print("report lists %d messages, not %d" % (len(data["messages"]), len(messages)))
            else:
                for m, entry in zip(messages, data["messages"]):
                    status_ok = (entry["status"] == "duplicate") == bool(m.get("duplicate"))
                    source_ok = entry["source"] == m["source"] and entry["index"] == m["index"]
                    part_ok = entry["part"] == m["part"]
                    output_ok = m.get("duplicate") or entry["output"] == str(out / os.fsdecode(m["output"]))
                    if not (status_ok and source_ok and part_ok and output_ok):
                        failures += 1
                        print("report entry does not match the message: %s" % entry)
                        break
            dups = data["totals"]["duplicate"]
            if dups < 1:
                failures += 1
                print("the e-mail delivered twice was not reported as a duplicate")
            print("format %d, %d jobs: %d files compared, exit status %d"
                  % (format_number, jobs, len(expected), run.returncode))
        # Same files and, but for the output folder's name, the same report.
        first = reports[0].replace(b"out%d_1" % format_number, b"OUT")
        second = reports[1].replace(b"out%d_2" % format_number, b"OUT")
        if first != second:
            failures += 1
            print("format %d: the reports of one and two jobs differ" % format_number)
    if failures:
        print("FAILED: %d problems" % failures)
        return 1
    print("all outputs identical")
    return 0


if __name__ == "__main__":
    sys.exit(main())
