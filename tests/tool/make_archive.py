#!/usr/bin/env python3
"""Writes mail archives the way mail software writes them, for kaldo's tests.

Every e-mail is built with Python's email package and stored with its
mailbox module (mbox, Maildir) or saved as a .eml file with the CR LF of
the wire, so that kaldo is tested on the layouts real mail programs write,
not on layouts we imagined.

    make_archive.py OUT [--messages N] [--seed S]

OUT/cases/    one small input per behaviour, named after it (unit tests);
              packed/ holds a folder of them, tree/, packed as zip and tar
              archives by Python's zipfile and tarfile, files compressed by
              its gzip, bz2 and lzma, and broken, nested and empty archives
OUT/archive/  a mixed archive of at least N messages (end-to-end test):
              .sbd files, .eml files with one or several attachments,
              forwarded e-mails, SMS e-mails (plain, quoted-printable,
              base64), an mbox, a Maildir with a mail server's index files,
              and files that are not messages.
"""
import argparse
import base64
import bz2
import gzip
import importlib.util
import io
import lzma
import mailbox
import os
import random
import re
import shutil
import tarfile
import zipfile
from email.message import EmailMessage
from email.policy import SMTP, default
from email.utils import format_datetime
from datetime import datetime, timedelta, timezone
from pathlib import Path

HERE = Path(__file__).resolve().parent
_spec = importlib.util.spec_from_file_location(
    "make_examples", HERE.parent.parent / "examples" / "make_examples.py")
ex = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(ex)

SERVICE = "sbdservice@example.net"
START = datetime(2008, 5, 17, 12, 0, 0, tzinfo=timezone.utc)


def random_binary_report(rng):
    return ex.binary_report(
        rng.randrange(24), rng.randrange(60), rng.randrange(60), rng.randrange(1000),
        rng.randrange(100), rng.randrange(1, 13), rng.randrange(1, 29),
        rng.randrange(90), rng.randrange(60), rng.randrange(10000),
        rng.randrange(180), rng.randrange(60), rng.randrange(10000),
        rng.randrange(13), rng.randrange(3000), rng.randrange(10),
        rng.randrange(200), rng.randrange(10), rng.randrange(36000),
        valid=rng.random() < 0.9, south=rng.random() < 0.3, west=rng.random() < 0.5)


def random_packed_report(rng, modem_id_follows=False):
    digits = lambda n: "".join(rng.choice("0123456789") for _ in range(n))
    return ex.packed_report(
        rng.randrange(24), rng.randrange(60), rng.randrange(60), rng.randrange(100),
        rng.randrange(100), rng.randrange(1, 13), rng.randrange(1, 29),
        rng.randrange(90), rng.randrange(60), digits(5),
        rng.randrange(180), rng.randrange(60), digits(5),
        rng.randrange(10), digits(7), rng.randrange(1, 8), digits(5), rng.randrange(1, 6),
        digits(5), rng.randrange(1, 4), rng.randrange(36000),
        emergency=rng.random() < 0.1, modem_id_follows=modem_id_follows)


def random_payload(rng):
    """Payloads of every kind: good reports, a tail id, failures, others."""
    kind = rng.random()
    if kind < 0.45:
        return ex.message(1, [random_binary_report(rng) for _ in range(rng.randrange(1, 6))])
    if kind < 0.7:
        return ex.message(rng.choice([3, 103]),
                          [random_packed_report(rng) for _ in range(rng.randrange(1, 4))])
    if kind < 0.75:  # the unit's own name in the tail, Latin-1 bytes
        return ex.message(103, [random_packed_report(rng, modem_id_follows=True)],
                          b"Unit \xe9\xe8 " + str(rng.randrange(100)).encode() + b"\r")
    if kind < 0.8:
        return b"Updated"
    if kind < 0.85:  # a wrong length for its report count
        return ex.message(1, [random_binary_report(rng)])[:-3]
    if kind < 0.9:
        return bytes(rng.randrange(256) for _ in range(rng.randrange(0, 80)))
    if kind < 0.93:  # longer than any message
        return bytes(rng.randrange(256) for _ in range(8000))
    return ex.message(2, [random_binary_report(rng) for _ in range(2)])


def random_sms_body(rng):
    kind = rng.random()
    if kind < 0.6:
        return ex.sms_text(b"g", [random_packed_report(rng)]).decode("latin-1")
    if kind < 0.7:
        return "sHello from unit " + str(rng.randrange(1000))
    if kind < 0.8:
        return "g1" + "ZZ" * 28  # not hexadecimal
    if kind < 0.9:
        return ex.sms_text(b"\x01", [random_binary_report(rng)]).decode("latin-1")
    return "r" + "ok"


def modem_id(rng):
    return "30023401%07d" % rng.randrange(10**7)


def dated(msg, when):
    msg["Date"] = format_datetime(when)
    msg["Message-ID"] = "<%d.%d@example.net>" % (int(when.timestamp()), random.randrange(10**9))


def service_email(rng, when, attachments, note="Tracker message"):
    """The SBD service's e-mail: a short text and .sbd attachments."""
    msg = EmailMessage(policy=SMTP)
    msg["From"] = SERVICE
    msg["To"] = "fleet@example.org"
    first = attachments[0][0].split("_")[0] if attachments else "unknown"
    msg["Subject"] = "SBD Msg From Unit: " + first
    dated(msg, when)
    msg.set_content(note + "\n")
    for name, payload in attachments:
        msg.add_attachment(payload, maintype="application", subtype="octet-stream", filename=name)
    return msg


def sms_email(rng, when, body, encoding=None):
    msg = EmailMessage(policy=SMTP)
    msg["From"] = "sms-gateway@example.net"
    msg["To"] = "fleet@example.org"
    msg["Subject"] = modem_id(rng) + "@sms.example.net"
    dated(msg, when)
    if encoding:
        msg.set_content(body, cte=encoding)
    else:
        msg.set_content(body)
    return msg


def forwarded(rng, when, inner):
    msg = EmailMessage(policy=SMTP)
    msg["From"] = "dispatcher@example.org"
    msg["To"] = "archive@example.org"
    msg["Subject"] = "Fwd: " + str(inner["Subject"])
    dated(msg, when)
    msg.set_content("Forwarded as received.\n")
    msg.add_attachment(inner)
    return msg


def wire_line_ends(raw):
    """A stored e-mail as a saved .eml file has it: bare LF become CR LF."""
    return re.sub(rb"(?<!\r)\n", b"\r\n", raw)


def stored(rng, msg):
    """How a mail store gets an e-mail: mostly as bytes with the local bare
    line feeds, sometimes as the message object, which Python's mailbox
    writes with the message policy's CR LF (mixed with its own LF lines)."""
    return msg.as_bytes(policy=default) if rng.random() < 0.7 else msg


def attachment_name(rng, unit, sequence):
    return "%s_%06d.sbd" % (unit, sequence)


def write_cases(out, rng):
    """One input per behaviour the unit tests look at."""
    # mailbox adds to what is there: start afresh, so that a rerun is the same.
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    single = ex.message(1, ex.ROUTE[:1])
    route = ex.message(1, ex.ROUTE)
    packed = ex.message(3, ex.PACKED)

    def save(name, msg):
        (out / name).write_bytes(msg.as_bytes(policy=SMTP))

    save("one_attachment.eml", service_email(rng, START, [("300234010123450_000123.sbd", single)]))
    save("two_attachments.eml", service_email(rng, START, [
        ("300234010123450_000124.sbd", route), ("300234010123451_000007.sbd", packed)]))
    save("forwarded.eml", forwarded(rng, START, service_email(
        rng, START, [("300234010123452_000001.sbd", single)])))
    save("no_attachment_sms.eml", sms_email(rng, START, ex.sms_text(b"g", ex.PACKED[1:]).decode()))
    save("sms_quoted_printable.eml", sms_email(
        rng, START, ex.sms_text(b"g", ex.PACKED[1:]).decode() + "=", "quoted-printable"))
    save("sms_base64.eml", sms_email(rng, START, ex.sms_text(b"g", ex.PACKED[1:]).decode(), "base64"))
    # A path in the attachment's name: only its last part may be used.
    save("path_in_name.eml", service_email(rng, START, [("../../etc/300234010123453_000001.sbd", single)]))
    # Broken base64: characters outside the alphabet and a cut final group.
    broken = service_email(rng, START, [("300234010123454_000001.sbd", single)]).as_bytes(policy=SMTP)
    good = base64.encodebytes(single).replace(b"\n", b"\r\n")
    (out / "broken_base64.eml").write_bytes(broken.replace(good, b"AQ!!Eh4F*+\r\nA", 1))
    # An attachment longer than any message: first bytes and length decide.
    save("oversized_attachment.eml", service_email(
        rng, START, [("300234010123455_000001.sbd", single + bytes(9000))]))

    box = mailbox.mbox(str(out / "small.mbox"), create=True)
    box.add(service_email(rng, START, [("300234010123456_000001.sbd", single)]))
    box.add(sms_email(rng, START, ex.sms_text(b"g", ex.PACKED[1:]).decode()))
    box.add(service_email(rng, START, [("300234010123456_000002.sbd", route)]).as_bytes(policy=default))
    box.add(sms_email(rng, START, "sHello").as_bytes(policy=default))
    # What a user gets saving each SMS e-mail of the mbox as a .eml file.
    for i, key in enumerate(box.iterkeys(), start=1):
        if not box.get_message(key).get_filename() and "sms" in box.get_message(key)["From"]:
            (out / ("small.mbox.%d.saved.eml" % i)).write_bytes(wire_line_ends(box.get_bytes(key)))
    box.close()

    # Every kind of e-mail an mbox holds, each kind several times, for
    # reading an mbox in pieces: attachments, forwarded e-mails, SMS
    # e-mails stored with LF and with CR LF, body lines that begin with
    # "From " (which mailbox escapes), and an e-mail that is nothing but a
    # 7bit .sbd attachment, which ends where the next "From " line begins.
    box = mailbox.mbox(str(out / "mixed.mbox"), create=True)
    for i in range(12):
        box.add(stored(rng, service_email(rng, START, [
            (attachment_name(rng, modem_id(rng), i), random_payload(rng))
            for _ in range(1 + i % 3)])))
        box.add(stored(rng, forwarded(rng, START, service_email(
            rng, START, [(attachment_name(rng, modem_id(rng), 100 + i), single)]))))
        box.add(stored(rng, sms_email(rng, START, random_sms_body(rng), rng.choice(
            [None, "quoted-printable", "base64"]))))
        note = "From the unit, as sent.\nFrom here on: nothing.\n"
        box.add(stored(rng, service_email(rng, START, [], note)))
        bare = EmailMessage(policy=SMTP)
        bare["From"] = SERVICE
        bare["Subject"] = "SBD Msg From Unit: " + modem_id(rng)
        bare.set_content(b"g1" + b"0123456789ABCDEF" * i, maintype="application",
                         subtype="octet-stream", cte="7bit",
                         filename=attachment_name(rng, modem_id(rng), 200 + i))
        box.add(bare)
    box.close()

    md = mailbox.Maildir(str(out / "Maildir"), create=True)
    md.add(service_email(rng, START, [("300234010123457_000001.sbd", single)]))
    md.add(sms_email(rng, START, ex.sms_text(b"g", ex.PACKED[1:]).decode()))
    md.close()
    # What a mail server keeps beside the mail.
    for name in ("dovecot.index", "dovecot.index.log", "dovecot-uidlist", "dovecot-keywords"):
        (out / "Maildir" / name).write_bytes(b"\x01\x02index data\n")
    (out / "notes.txt").write_text("not a message\n")
    # Attachments without a byte: 7bit, read from the file as it is, and base64.
    bare = EmailMessage(policy=SMTP)
    bare["From"] = SERVICE
    bare["Subject"] = "SBD Msg From Unit: 300234010123458"
    bare.set_content(b"", maintype="application", subtype="octet-stream", cte="7bit",
                     filename="300234010123458_000001.sbd")
    save("empty_attachment.eml", bare)
    save("empty_attachment_base64.eml", service_email(rng, START, [("300234010123458_000002.sbd", b"")]))
    write_packed(out, out / "packed")


def tree_paths(tree):
    """Every folder and file under `tree`, relative, in name order."""
    return sorted(p.relative_to(tree).as_posix() for p in tree.rglob("*"))


def write_packed(cases, out):
    """A folder of files as a user keeps them, the same folder packed in
    every kind of archive (some written in reverse name order, as archivers
    that follow the disk's order write them), single files compressed, and
    archives that are broken, nested or empty."""
    single = ex.message(1, ex.ROUTE[:1])
    tree = out / "tree"
    tree.mkdir(parents=True)
    # The same name in several folders, so that the order of reading shows
    # in the output names; "unit1.x" sorts before "unit1/" by bytes but
    # after "unit1" as a folder's name.
    for folder, payload in (("unit1", single), ("unit2", ex.message(1, ex.ROUTE)),
                            ("unit1.x", ex.message(3, ex.PACKED)), ("unit1/sub", b"Updated")):
        (tree / folder).mkdir(parents=True, exist_ok=True)
        (tree / folder / "300234010123450_000001.sbd").write_bytes(payload)
    # Longer than any message: its first bytes and its length decide.
    (tree / "unit2" / "300234010123450_000002.sbd").write_bytes(single + bytes(100000))
    (tree / "mail").mkdir()
    for name in ("one_attachment.eml", "two_attachments.eml", "no_attachment_sms.eml",
                 "small.mbox", "mixed.mbox"):
        shutil.copy(cases / name, tree / "mail" / name)
    (tree / "mail" / "\u00fcnit_300234010123459_000001.sbd").write_bytes(single)
    shutil.copytree(cases / "Maildir", tree / "Maildir")
    (tree / "notes.txt").write_text("not a message\n")

    names = tree_paths(tree)
    backwards = list(reversed(names))
    with zipfile.ZipFile(out / "tree.zip", "w", zipfile.ZIP_DEFLATED) as z:
        for name in backwards:
            z.write(tree / name, name)
    for archive, mode, order in (("tree.tar", "w", names), ("tree.tar.gz", "w:gz", backwards),
                                 ("tree.tgz", "w:gz", names), ("tree.tar.bz2", "w:bz2", backwards),
                                 ("tree.tar.xz", "w:xz", names)):
        with tarfile.open(out / archive, mode) as t:
            for name in order:
                t.add(tree / name, name, recursive=False)

    # Single files compressed, beside a copy of each as it is.
    singles = out / "singles"
    singles.mkdir()
    for name, compress, suffix in (("one_attachment.eml", gzip.compress, ".gz"),
                                   ("300234010123450_000001.sbd", bz2.compress, ".bz2"),
                                   ("small.mbox", lzma.compress, ".xz"),
                                   ("mixed.mbox", gzip.compress, ".gz")):
        source = tree / "unit1" / name if name.endswith(".sbd") else cases / name
        (singles / name).write_bytes(source.read_bytes())
        (singles / (name + suffix)).write_bytes(compress(source.read_bytes()))
    # An mbox by its first line only.
    (singles / "mailbox").write_bytes((cases / "small.mbox").read_bytes())
    (singles / "mailbox.gz").write_bytes(gzip.compress((cases / "small.mbox").read_bytes()))

    odd = out / "odd"
    odd.mkdir()
    whole = (out / "tree.tar.gz").read_bytes()
    (odd / "truncated.tar.gz").write_bytes(whole[:len(whole) // 2])
    # Cut in the middle of its second file.
    cut = io.BytesIO()
    with tarfile.open(fileobj=cut, mode="w") as t:
        for name, payload in (("a_300234010123450_000001.sbd", single),
                              ("b_300234010123450_000002.sbd", single + bytes(5000))):
            info = tarfile.TarInfo(name)
            info.size = len(payload)
            t.addfile(info, io.BytesIO(payload))
    (odd / "truncated.tar").write_bytes(cut.getvalue()[:512 * 3 + 2000])
    (odd / "garbage.zip").write_bytes(b"PK\x03\x04" + bytes(range(256)) * 4)
    (odd / "not_compressed.gz").write_bytes(b"From nobody\n\nnot compressed\n")
    # A stored file whose bytes no longer match its checksum, before a good one.
    with zipfile.ZipFile(odd / "bad_checksum.zip", "w", zipfile.ZIP_STORED) as z:
        z.writestr("a_300234010123450_000001.sbd", single)
        z.writestr("b_300234010123450_000002.sbd", single)
    damaged = bytearray((odd / "bad_checksum.zip").read_bytes())
    damaged[damaged.index(single) + 3] ^= 0xFF
    (odd / "bad_checksum.zip").write_bytes(bytes(damaged))
    inner = io.BytesIO()
    with zipfile.ZipFile(inner, "w") as z:
        z.writestr("300234010123450_000009.sbd", single)
    with zipfile.ZipFile(odd / "nested.zip", "w") as z:
        z.writestr("inner.zip", inner.getvalue())
        z.writestr("inner.tar.gz", (out / "tree.tgz").read_bytes())
        z.writestr("x_300234010123450_000009.sbd.gz", gzip.compress(single))
        z.writestr("y_300234010123450_000009.sbd", single)
    with zipfile.ZipFile(odd / "empty.zip", "w"):
        pass
    with tarfile.open(odd / "empty.tar", "w"):
        pass
    with tarfile.open(odd / "empty.tar.gz", "w:gz"):
        pass


def write_archive(out, rng, wanted):
    """At least `wanted` messages of every kind, in every kind of input."""
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    count = 0
    when = START
    sequence = 0

    def next_attachment():
        nonlocal sequence, when
        sequence += 1
        when += timedelta(minutes=7)
        return attachment_name(rng, modem_id(rng), sequence), random_payload(rng)

    share = max(wanted // 5, 10)
    # Saved .sbd files, in two folders.
    for i in range(share):
        folder = out / "saved" / ("unit%d" % (i % 3))
        folder.mkdir(parents=True, exist_ok=True)
        name, payload = next_attachment()
        (folder / name).write_bytes(payload)
        count += 1
    # Saved .eml files: one or several attachments, forwarded, SMS.
    eml = out / "eml"
    eml.mkdir(exist_ok=True)
    i = 0
    while i < share:
        kind = rng.random()
        if kind < 0.5:
            atts = [next_attachment() for _ in range(rng.randrange(1, 4))]
            msg = service_email(rng, when, atts)
            i += len(atts)
        elif kind < 0.65:
            atts = [next_attachment()]
            msg = forwarded(rng, when, service_email(rng, when, atts))
            i += 1
        else:
            enc = rng.choice([None, None, "quoted-printable", "base64"])
            msg = sms_email(rng, when, random_sms_body(rng), enc)
            i += 1
        (eml / ("mail%05d.eml" % i)).write_bytes(msg.as_bytes(policy=SMTP))
    count += i
    # An mbox, as mail programs keep it.
    box = mailbox.mbox(str(out / "Archive.mbox"), create=True)
    i = 0
    first_sms = None
    while i < 2 * share:
        if rng.random() < 0.7:
            atts = [next_attachment() for _ in range(rng.randrange(1, 3))]
            box.add(stored(rng, service_email(rng, when, atts)))
            i += len(atts)
        else:
            msg = sms_email(rng, when, random_sms_body(rng), rng.choice([None, "quoted-printable"]))
            box.add(stored(rng, msg))
            i += 1
    # The service delivered one e-mail twice.
    repeat = service_email(rng, when, [next_attachment()]).as_bytes(policy=default)
    box.add(repeat)
    box.add(repeat)
    i += 2
    box.close()
    count += i
    # A Maildir with a subfolder, and the mail server's index files.
    md = mailbox.Maildir(str(out / "Maildir"), create=True)
    sent = md.add_folder("Sent")
    i = 0
    while i < share:
        target = md if rng.random() < 0.8 else sent
        if rng.random() < 0.75:
            atts = [next_attachment() for _ in range(rng.randrange(1, 3))]
            key = target.add(stored(rng, service_email(rng, when, atts)))
            i += len(atts)
        else:
            key = target.add(stored(rng, sms_email(rng, when, random_sms_body(rng))))
            i += 1
        if rng.random() < 0.5:  # read mail moves to cur/
            m = target.get_message(key)
            m.set_subdir("cur")
            m.add_flag("S")
            target[key] = m
    md.close()
    count += i
    for name in ("dovecot.index", "dovecot.index.cache", "dovecot-uidlist", "dovecot-uidvalidity"):
        (out / "Maildir" / name).write_bytes(b"\x00\x01binary index\n")
    # Files that are not messages.
    (out / "README.txt").write_text("Exported from the fleet mailbox.\n")
    (out / "eml" / "thumbs.db").write_bytes(b"\x00" * 64)
    return count


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", type=Path)
    parser.add_argument("--messages", type=int, default=1200)
    parser.add_argument("--seed", type=int, default=20080517)
    parser.add_argument("--only", choices=["cases", "archive"])
    args = parser.parse_args()
    rng = random.Random(args.seed)
    random.seed(args.seed)
    if args.only in (None, "cases"):
        write_cases(args.out / "cases", rng)
    if args.only in (None, "archive"):
        n = write_archive(args.out / "archive", rng, args.messages)
        print("wrote %d messages" % n)


if __name__ == "__main__":
    main()
