#!/usr/bin/env python3
"""Writes the same e-mails twice: as a Maildir folder for a test mail server
to serve over IMAP, and as an mbox, for kaldo's IMAP tests and benchmark.

    imap_mail.py MAILDIR MBOX [--emails N] [--seed S] [--folder NAME]

The e-mails are service e-mails with one or two .sbd attachments, SMS
e-mails and forwarded e-mails, built by make_archive.py's functions with
Python's email package and stored with its mailbox module. Some are
stored already read or flagged, so that a reader that changes flags
shows. With --folder the e-mails go to that subfolder of the Maildir
(Maildir++: ".NAME"), not to its INBOX.
"""
import argparse
import importlib.util
import mailbox
import random
from datetime import timedelta
from pathlib import Path

HERE = Path(__file__).resolve().parent
_spec = importlib.util.spec_from_file_location("make_archive", HERE / "make_archive.py")
ma = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(ma)


def email_at(rng, i):
    when = ma.START + timedelta(minutes=7 * i)
    unit = ma.modem_id(rng)
    kind = rng.random()
    if kind < 0.7:
        count = 1 if rng.random() < 0.8 else 2
        return ma.service_email(rng, when, [
            (ma.attachment_name(rng, unit, i * 2 + n), ma.random_payload(rng)) for n in range(count)])
    if kind < 0.85:
        return ma.sms_email(rng, when, ma.random_sms_body(rng),
                            rng.choice([None, "quoted-printable", "base64"]))
    return ma.forwarded(rng, when, ma.service_email(
        rng, when, [(ma.attachment_name(rng, unit, i * 2), ma.random_payload(rng))]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("maildir")
    parser.add_argument("mbox")
    parser.add_argument("--emails", type=int, default=60)
    parser.add_argument("--seed", type=int, default=22)
    parser.add_argument("--folder")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    maildir = mailbox.Maildir(args.maildir, create=True)
    if args.folder:
        maildir = maildir.add_folder(args.folder)
    mbox = mailbox.mbox(args.mbox, create=True)
    mbox.lock()
    for i in range(args.emails):
        raw = email_at(rng, i).as_bytes(policy=ma.default)
        mbox.add(raw)
        stored = mailbox.MaildirMessage(raw)
        stored.set_subdir("cur")
        stored.set_flags(rng.choice(["", "", "S", "F", "RS"]))
        maildir.add(stored)
    mbox.flush()
    mbox.unlock()


if __name__ == "__main__":
    main()
