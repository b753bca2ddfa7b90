#!/usr/bin/env python3
"""Large inputs for kaldo's benchmarks and memory check.

    make_inputs.py sbd-files N DIR      N one-report .sbd files
    make_inputs.py mbox N PATH          an mbox of N service e-mails, one .sbd each
    make_inputs.py attachment BYTES PATH
                                        one e-mail with a BYTES-long .sbd attachment
    make_inputs.py attachment-mbox-gz BYTES PATH
                                        a gzip-compressed mbox: that e-mail, then a
                                        service e-mail with one .sbd

E-mails are built by Python's email package and stored by its mailbox
module. The one with the huge attachment is built with a small attachment
and its base64 lines are then written out in chunks, since no mail library
holds a gigabyte in memory; its structure is still the package's.
"""
import base64
import gzip
import mailbox
import multiprocessing
import random
import sys
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "tool"))
import make_archive  # noqa: E402

ex = make_archive.ex


def one_report(rng):
    return ex.message(1, [make_archive.random_binary_report(rng)])


def sbd_name(rng, n):
    return "30023401%07d_%06d.sbd" % (rng.randrange(10**7), n)


def service_email(n, seed):
    """The SBD service's e-mail with one attachment, as bytes."""
    rng = random.Random(seed * 1000003 + n)
    name = sbd_name(rng, n)
    msg = MIMEMultipart()
    msg["From"] = "sbdservice@example.net"
    msg["To"] = "fleet@example.org"
    msg["Subject"] = "SBD Msg From Unit: " + name.split("_")[0]
    msg["Date"] = "Sat, 17 May 2008 12:%02d:%02d +0000" % (n // 60 % 60, n % 60)
    msg["Message-ID"] = "<%d.%d@example.net>" % (seed, n)
    msg.attach(MIMEText("MOMSN: %d\nMTMSN: 0\nSession Status: 00 - Transfer OK\n" % n))
    part = MIMEApplication(one_report(rng), Name=name)
    part.add_header("Content-Disposition", "attachment", filename=name)
    msg.attach(part)
    return msg.as_bytes()


def chunk(args):
    start, stop, seed = args
    return [service_email(n, seed) for n in range(start, stop)]


def write_mbox(count, path, seed=1):
    box = mailbox.mbox(str(path), create=True)
    box.lock()
    step = 1000
    jobs = [(i, min(i + step, count), seed) for i in range(0, count, step)]
    with multiprocessing.Pool() as pool:
        for emails in pool.imap(chunk, jobs):
            for raw in emails:
                box.add(raw)
    box.flush()
    box.unlock()
    box.close()


def write_sbd_files(count, folder, seed=1):
    rng = random.Random(seed)
    folder.mkdir(parents=True, exist_ok=True)
    for n in range(count):
        (folder / sbd_name(rng, n)).write_bytes(one_report(rng))


def write_attachment_email(size, path, seed=1):
    with open(path, "wb") as out:
        write_attachment_email_to(size, out, seed)


def write_attachment_mbox_gz(size, path, seed=1):
    """As an mbox keeps e-mails: a "From " line before each, bare line
    feeds, an empty line after each; compressed as it is written."""
    with gzip.open(path, "wb", compresslevel=1) as out:
        out.write(b"From sbdservice@example.net Sat May 17 12:00:00 2008\n")
        write_attachment_email_to(size, out, seed)
        out.write(b"\nFrom sbdservice@example.net Sat May 17 12:00:01 2008\n")
        out.write(service_email(1, seed).replace(b"\r\n", b"\n"))
        out.write(b"\n")


def write_attachment_email_to(size, out, seed=1):
    rng = random.Random(seed)
    name = sbd_name(rng, 0)
    head = one_report(rng)
    placeholder = b"PLACEHOLDER"
    msg = MIMEMultipart()
    msg["From"] = "sbdservice@example.net"
    msg["To"] = "fleet@example.org"
    msg["Subject"] = "SBD Msg From Unit: " + name.split("_")[0]
    msg.attach(MIMEText("An attachment larger than any message.\n"))
    part = MIMEApplication(placeholder, Name=name)
    part.add_header("Content-Disposition", "attachment", filename=name)
    msg.attach(part)
    skeleton = msg.as_bytes()
    marker = base64.encodebytes(placeholder)
    before, after = skeleton.split(marker, 1)
    line = 57  # bytes per base64 line of 76 characters, as the package writes
    block = line * 1024 * 16
    out.write(before)
    written = 0
    pending = head
    while written < size:
        want = min(block, size - written)
        data = (pending + bytes(want))[:want]
        pending = b""
        out.write(base64.encodebytes(data))
        written += want
    out.write(after)


def main():
    kind, amount, target = sys.argv[1], int(sys.argv[2]), Path(sys.argv[3])
    if kind == "sbd-files":
        write_sbd_files(amount, target)
    elif kind == "mbox":
        write_mbox(amount, target)
    elif kind == "attachment":
        write_attachment_email(amount, target)
    elif kind == "attachment-mbox-gz":
        write_attachment_mbox_gz(amount, target)
    else:
        sys.exit("unknown kind: " + kind)


if __name__ == "__main__":
    main()
