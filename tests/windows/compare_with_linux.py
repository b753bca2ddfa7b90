#!/usr/bin/env python3
"""Runs the Windows build of Kaldo_Command_Line under Wine beside the Linux
build, on the bundled examples and on generated runs (one message and one
format each), and requires the same standard output bytes and exit status
from both.

    compare_with_linux.py --linux build/Kaldo_Command_Line
        --windows build-windows/Kaldo_Command_Line.exe [--runs 1000] [--seed N]
    compare_with_linux.py --linux build/Kaldo_Command_Line
        --package build-windows/kaldo-command-line-5.0.0-win64.zip

With --package the program is the one in the ZIP, which must hold it, the
README and the licence, and which must need no DLL that Windows lacks.

The Windows program is given the paths a Windows user types (C:\\data\\...,
..\\inbox\\..., Z:\\ for the Linux root, forward slashes, non-ASCII names),
the Linux one the same files by their Linux paths. Wine now and then fails
to start a process (a hang, or nothing printed, with status 1 or another
the program never gives, where the program prints something); such a run
is tried once more, a difference never.

Without Wine the comparison is skipped, saying so; with CI=true that fails.
"""
import argparse
import collections
import concurrent.futures
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / 'examples'))
from make_examples import binary_report, email, message, packed_report, sms_text  # noqa: E402

WINE_TIMEOUT = 60
LINUX_TIMEOUT = 20


# ---------------------------------------------------------------- package

# The DLLs every Windows has; anything else would have to ship beside the
# program.
SYSTEM_DLLS = {'kernel32.dll', 'msvcrt.dll', 'user32.dll', 'advapi32.dll',
               'shell32.dll', 'ntdll.dll'}


def program_from_package(zip_path, into):
    """The program's path in the unpacked ZIP, and what is wrong with it."""
    with zipfile.ZipFile(zip_path) as archive:
        archive.extractall(into)
        names = archive.namelist()
    problems = []
    for wanted in ('Kaldo_Command_Line.exe', 'README.md', 'LICENSE.txt'):
        if not any(n.split('/', 1)[-1] == wanted for n in names):
            problems.append(f'{zip_path.name} lacks {wanted} at its top: {names}')
    exe = next((Path(into, n) for n in names if n.endswith('/Kaldo_Command_Line.exe')),
               None)
    if exe is None:
        return None, problems
    dump = subprocess.run(['x86_64-w64-mingw32-objdump', '-p', str(exe)],
                          capture_output=True, text=True, check=True).stdout
    dlls = {line.split(':', 1)[1].strip().lower() for line in dump.splitlines()
            if 'DLL Name:' in line}
    if not dlls or dlls - SYSTEM_DLLS:
        problems.append(f"the program needs DLLs beyond Windows' own: {sorted(dlls)}")
    return exe, problems


# ---------------------------------------------------------------- Wine

def find_wine():
    """The Wine launcher and its server, or (None, None)."""
    candidates = [os.environ.get('KALDO_WINE'), '/usr/lib/wine/wine64',
                  shutil.which('wine64'), shutil.which('wine')]
    for wine in candidates:
        if wine and os.access(wine, os.X_OK):
            here = Path(wine).parent
            for name in ('wineserver64', 'wineserver'):
                if (here / name).exists():
                    return wine, str(here / name)
            server = shutil.which('wineserver')
            if server:
                return wine, server
    return None, None


class Wine:
    """A temporary Wine prefix with a server kept alive between runs."""

    def __init__(self, wine, server, prefix):
        self.wine, self.server = wine, server
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=str(prefix), WINEDEBUG='-all',
                        # Wine turns Unix arguments and names into UTF-16 by
                        # the locale's character set.
                        LC_ALL='C.UTF-8', LANG='C.UTF-8',
                        # No Mono or Gecko installer when the prefix is made.
                        WINEDLLOVERRIDES='mscoree,mshtml=')
        self.env.pop('DISPLAY', None)
        self.drive_c = Path(prefix) / 'drive_c'

    def start(self):
        started = time.monotonic()
        self.drive_c.parent.mkdir(parents=True, exist_ok=True)
        # Persistent: every run then finds the server and skips its start.
        subprocess.run([self.server, '-p'], env=self.env, check=True, timeout=60)
        subprocess.run([self.wine, 'cmd', '/c', 'exit', '0'], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=300, check=False)
        if not self.drive_c.is_dir():
            raise SystemExit(f'Wine made no prefix at {self.drive_c.parent}')
        return time.monotonic() - started

    def stop(self):
        subprocess.run([self.server, '-k'], env=self.env, check=False, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def run(self, argv, cwd):
        try:
            done = subprocess.run([self.wine] + argv, cwd=cwd, env=self.env,
                                  stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=WINE_TIMEOUT)
            return done.stdout, done.returncode
        except subprocess.TimeoutExpired:
            return None, None


def dos_path(unix_path):
    """The name Wine gives a Linux path on its Z: drive."""
    return 'Z:' + str(unix_path).replace('/', '\\')


# ---------------------------------------------------------------- messages

def random_binary_report(rng, corrupt=False, modem_id_follows=False):
    alt_more = rng.choice([None, None, None, rng.randrange(0, 4)])
    fields = dict(
        hour=rng.randrange(24), minute=rng.randrange(60), second=rng.randrange(60),
        ms=rng.randrange(1000), year=rng.randrange(100), month=rng.randrange(1, 13),
        day=rng.randrange(1, 32), lat_deg=rng.randrange(91), lat_min=rng.randrange(60),
        lat_frac=rng.randrange(10000), lon_deg=rng.randrange(181),
        lon_min=rng.randrange(60), lon_frac=rng.randrange(10000),
        sats=rng.randrange(13), alt=rng.randrange(65536), alt_frac=rng.randrange(10),
        speed=rng.choice([0, rng.randrange(300), rng.randrange(65536)]),
        speed_tenths=rng.randrange(10), course_hundredths=rng.randrange(36000))
    flags = dict(valid=rng.random() < 0.8, south=rng.random() < 0.5,
                 west=rng.random() < 0.5, alt_negative=rng.random() < 0.2,
                 modem_id_follows=modem_id_follows, alt_more=alt_more)
    report = bytearray(binary_report(**fields, **flags))
    if corrupt:
        # Out-of-range bytes where the decoder checks widths and ranges.
        for _ in range(rng.randrange(1, 4)):
            report[rng.randrange(27)] = rng.randrange(256)
    return bytes(report)


def digits(rng, n):
    return ''.join(rng.choice('0123456789') for _ in range(n))


def random_packed_report(rng, corrupt=False, modem_id_follows=False):
    fields = dict(
        hour=rng.randrange(24), minute=rng.randrange(60), second=rng.randrange(60),
        hundredths=rng.randrange(100), year=rng.randrange(100),
        month=rng.randrange(1, 13), day=rng.randrange(1, 32),
        lat_deg=rng.randrange(91), lat_min=rng.randrange(60), lat_frac5=digits(rng, 5),
        lon_deg=rng.randrange(181), lon_min=rng.randrange(60), lon_frac5=digits(rng, 5),
        sats=rng.randrange(13), alt_digits7=digits(rng, 7), alt_whole=rng.randrange(8),
        speed_digits5=digits(rng, 5), speed_whole=rng.randrange(6),
        vv_digits5=digits(rng, 5), vv_whole=rng.randrange(4),
        course_hundredths=rng.randrange(36000))
    flags = dict(valid=rng.random() < 0.8, south=rng.random() < 0.5,
                 west=rng.random() < 0.5, alt_negative=rng.random() < 0.2,
                 vv_negative=rng.random() < 0.3, modem_id_follows=modem_id_follows,
                 dead_reckoning=rng.random() < 0.2, fix_2d=rng.random() < 0.2,
                 emergency=rng.random() < 0.2)
    report = bytearray(packed_report(**fields, **flags))
    if corrupt:
        for _ in range(rng.randrange(1, 4)):
            report[rng.randrange(27)] = rng.randrange(256)
    return bytes(report)


def random_position_message(rng, corrupt=False):
    """(message type, reports, tail) of a position report message."""
    kind = rng.choice([1, 2, 3, 103])
    count = rng.choice([1, 1, 2, 3, rng.randrange(1, 12), rng.randrange(1, 60)])
    follows = rng.random() < 0.2
    make = random_binary_report if kind < 3 else random_packed_report
    reports = [make(rng, corrupt=corrupt and i == count - 1,
                    modem_id_follows=follows and i == 0) for i in range(count)]
    tail = b''
    if follows or rng.random() < 0.1:
        tail = rng.choice([b'300234010123459\r', b'Unit_7\x1b\x3c\r', b'Boat 12\x00x',
                           bytes(rng.randrange(32, 127) for _ in range(rng.randrange(70)))])
    return kind, reports, tail


def random_sbd_payload(rng, outcome):
    if outcome == 'position':
        kind, reports, tail = random_position_message(rng)
        return message(kind, reports, tail)
    if outcome == 'corrupt':
        kind, reports, tail = random_position_message(rng, corrupt=True)
        return message(kind, reports, tail)
    # Messages the program refuses or answers with a sentence.
    choice = rng.randrange(10)
    if choice == 0:
        return rng.choice([b'Updated', b'Failed', b'Updated\x00junk', b'tr123', b'1', b'0'])
    if choice == 1:
        return b'v' * rng.choice([17, 32])
    if choice == 2:
        return b''
    if choice == 3:
        return bytes(rng.randrange(256) for _ in range(rng.randrange(1, 30)))
    if choice == 4:  # a length that does not fit the report count
        kind, reports, tail = random_position_message(rng)
        whole = message(kind, reports, tail)
        return whole[:rng.randrange(30, len(whole))] if len(whole) > 31 else whole + b'\0' * 80
    if choice == 5:  # an unknown message type
        kind, reports, tail = random_position_message(rng)
        return bytes([rng.choice([0, 4, 5, 102, 104, 255])]) + message(kind, reports, tail)[1:]
    if choice == 6:  # longer than any message
        return bytes([1, 255]) + bytes(rng.randrange(256) for _ in range(8000))
    if choice == 7:
        return b'\r\n' * rng.randrange(15, 40)
    if choice == 8:
        return bytes(rng.randrange(256) for _ in range(rng.randrange(30, 400)))
    return message(rng.choice([1, 3]), [])


SUBJECTS = [b'300234010123450@sms.example.net', b'unit 42 and 123@x',
            b'Re: 300234010123451@sms.example.net', b'no at sign here',
            b'@sms.example.net', b'X@Y', b'Fw: 300234010123452@sms.example.net']


def random_email(rng, outcome):
    subject = rng.choice(SUBJECTS)
    if outcome == 'position':
        kind, reports, tail = random_position_message(rng)
        reports = reports[:rng.randrange(1, min(len(reports), 9) + 1)]
        return email(subject, sms_text(bytes([kind]), reports, tail))
    if outcome == 'corrupt':
        kind, reports, tail = random_position_message(rng, corrupt=True)
        body = bytearray(sms_text(bytes([kind]), reports[:1], tail))
        if rng.random() < 0.5 and len(body) > 4:  # a hex digit that is none
            body[rng.randrange(2, min(len(body), 58))] = ord(rng.choice('GZ x.'))
        return email(subject, bytes(body))
    choice = rng.randrange(8)
    if choice == 0:
        return email(subject, b's' + rng.choice([b'Hello from the field', b'', b'\xe9t\xe9']))
    if choice == 1:
        return email(subject, b'r' + rng.choice([b'OK', b'received']))
    if choice == 2:
        return email(subject, b'tr' + digits(rng, 8).encode())
    if choice == 3:  # bare line feeds: no CR LF blank line
        return email(subject, b'g1' + b'0' * 56).replace(b'\r\n', b'\n')
    if choice == 4:  # no blank line at all
        return b'Subject: ' + subject + b'\r\nFrom: x'
    if choice == 5:
        return email(subject, b'')
    if choice == 6:
        return email(subject, b'\r\n\r\n')
    return email(subject, bytes(rng.randrange(32, 127) for _ in range(rng.randrange(80))))


# ---------------------------------------------------------------- runs

NAME_TAILS = ['1', '20090305', 'Fähre', 'Ålesund', 'λόγος', '記録', '🛰', 'track 7', 'x']


def random_name(rng, number, extension):
    head = rng.choice(['300234010123450', '300034012345678', '42', '1234567890123456',
                       '', 'unit', '300234010123451'])
    tail = rng.choice(NAME_TAILS)
    sep = rng.choice(['_', '_', '_', '-', ''])
    # The run number keeps every name unique, whatever the letter case.
    return f'{head}{sep}{tail}_{number:05d}{extension}'


class Layout:
    """Folders under Wine's C: drive, and how each platform names a file."""

    def __init__(self, drive_c):
        self.drive_c = drive_c
        self.data = drive_c / 'data'
        self.inbox = self.data / 'inbox'
        self.outbox = self.data / 'outbox'
        self.foreign = self.data / 'Überfahrt 2008'
        for d in (self.inbox, self.outbox, self.foreign):
            d.mkdir(parents=True, exist_ok=True)

    def windows_name(self, path, style):
        rel = path.relative_to(self.drive_c)
        if style == 'drive_c':
            return 'C:\\' + str(rel).replace('/', '\\')
        if style == 'drive_c_slashes':
            return 'C:/' + str(rel)
        if style == 'drive_z':
            return dos_path(path)
        if style == 'drive_z_slashes':
            return 'Z:' + str(path)
        raise ValueError(style)


def plan_run(rng, number, layout):
    """One run: what to write, and both command lines."""
    formats = [str(f) for f in range(1, 11)]
    odd_formats = ['0', '11', '07', '+7', 'abc', '7abc', ' 7', '-3', '2147483648']
    fmt = rng.choice(formats) if rng.random() < 0.92 else rng.choice(odd_formats)
    options = []
    r = rng.random()
    if r < 0.12:
        options = [rng.choice(['\\Y19', '\\Y20', '\\Y00', '\\Y99'])]
    elif r < 0.16:
        options = [rng.choice(['\\Y1', '\\Y199', '\\Yab', '\\Y', 'Y19', '\\x', '\\Z9',
                               '\\eu:a', '', '\\ekey:'])]
    elif r < 0.19:
        options = rng.sample(['\\eu:a', '\\ep:b', '\\ekey:c'], 3)
    elif r < 0.21:
        options = ['\\Y18', rng.choice(['Y19', 'xY19']), '\\eu:a']

    kind = rng.choices(['sbd', 'eml', 'usage', 'missing', 'extension'],
                       weights=[52, 36, 4, 4, 4])[0]
    outcome = rng.choices(['position', 'corrupt', 'other'], weights=[60, 15, 25])[0]
    folder = rng.choice([layout.inbox, layout.inbox, layout.foreign, layout.data])
    contents = None
    if kind == 'sbd':
        name = random_name(rng, number, rng.choice(['.sbd', '.sbd', '.SBD']))
        contents = random_sbd_payload(rng, outcome)
    elif kind == 'eml':
        name = random_name(rng, number, rng.choice(['.eml', '.eml', '.EML']))
        contents = random_email(rng, outcome)
    elif kind == 'missing':
        name = random_name(rng, number, rng.choice(['.sbd', '.eml']))
        if rng.random() < 0.4:
            # Windows device names, and wildcards that nothing expands.
            name = rng.choice(['NUL.sbd', 'CON.sbd', 'con.SBD', 'COM1.eml', 'AUX.sbd',
                               'PRN.eml', '*_1.sbd', '30023401012345?_1.sbd', '*.eml'])
        outcome = 'failure'
    elif kind == 'extension':
        name = random_name(rng, number, rng.choice(['.txt', '.Sbd', '.eML', '.sbd.txt', '']))
        contents = b'\x01\x00'
        outcome = 'failure'
    else:
        name = random_name(rng, number, '.sbd')
        outcome = 'usage'
    path = folder / name

    style = rng.choice(['relative', 'dotdot', 'drive_c', 'drive_c_slashes',
                        'drive_z', 'drive_z_slashes'])
    if style == 'dotdot' and folder != layout.inbox:
        style = 'relative'
    if style == 'relative':
        cwd, linux_file, windows_file = folder, name, name
    elif style == 'dotdot':
        cwd, linux_file, windows_file = layout.outbox, f'../inbox/{name}', f'..\\inbox\\{name}'
    else:
        cwd, linux_file = layout.outbox, str(path)
        windows_file = layout.windows_name(path, style)

    tail_args = [fmt] + options
    if kind == 'usage':
        count = rng.choice([0, 1, 4, 5, 8])  # arguments after the program name
        tail_args = (tail_args + ['\\Y19'] * 8)[:max(count - 1, 0)]
        linux_args = ([linux_file] + tail_args)[:count]
        windows_args = ([windows_file] + tail_args)[:count]
    else:
        linux_args = [linux_file] + tail_args
        windows_args = [windows_file] + tail_args
    return dict(number=number, kind=kind, outcome=outcome, format=fmt, style=style,
                non_ascii=not name.isascii() or not str(folder).isascii(),
                path=path, contents=contents, cwd=cwd,
                linux_args=linux_args, windows_args=windows_args)


def example_runs(layout):
    """Every bundled example in every format, by name in its folder."""
    runs = []
    folder = layout.data / 'examples'
    folder.mkdir(exist_ok=True)
    names = sorted(p.name for p in (ROOT / 'examples').iterdir()
                   if p.suffix in ('.sbd', '.eml'))
    for name in names:
        shutil.copyfile(ROOT / 'examples' / name, folder / name)
        for fmt in range(1, 11):
            for options in ([], ['\\Y19']) if fmt in (4, 5, 9, 10) else ([],):
                args = [name, str(fmt)] + options
                runs.append(dict(number=len(runs), kind='example', outcome='example',
                                 format=str(fmt), style='relative', non_ascii=False,
                                 cwd=folder, linux_args=args, windows_args=args))
    return runs


# Every status the program ends with; Wine alone gives others.
PROGRAM_STATUSES = {0, 1, 255}


def is_wine_start_failure(out, status, linux_out):
    """A hang, nothing printed where the program prints something, or a
    status the program never gives: Wine (or the cmd.exe it runs) failed to
    start it or to pass its status back. Seen under a loaded machine as
    status 1 with nothing printed, and as 127 after the whole, right output.
    A real fault shows again on the one retry."""
    return (out is None or (out == b'' and linux_out != b'')
            or status not in PROGRAM_STATUSES)


def execute(run, linux_exe, windows_exe, wine):
    linux = subprocess.run([linux_exe] + run['linux_args'], cwd=run['cwd'],
                           stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=LINUX_TIMEOUT)
    if run.get('launcher') == 'cmd':
        argv = ['cmd', '/c', dos_path(windows_exe)] + run['windows_args']
    else:
        argv = [str(windows_exe)] + run['windows_args']
    out, status = wine.run(argv, run['cwd'])
    retried = None
    if is_wine_start_failure(out, status, linux.stdout):
        retried = 'hang' if status is None else status
        out, status = wine.run(argv, run['cwd'])
    return dict(run, linux_out=linux.stdout, linux_status=linux.returncode,
                windows_out=out, windows_status=status, retried=retried)


def describe(result):
    def show(data):
        if data is None:
            return 'no answer (timed out)'
        return repr(data[:300]) + (' ...' if len(data) > 300 else '')
    lines = [f"run {result['number']} ({result['kind']}, {result['outcome']}, "
             f"{result['style']}, launcher {result.get('launcher', 'direct')})",
             f"  cwd     {result['cwd']}",
             f"  linux   {result['linux_args']!r} -> status {result['linux_status']}",
             f"          {show(result['linux_out'])}",
             f"  windows {result['windows_args']!r} -> status {result['windows_status']}",
             f"          {show(result['windows_out'])}"]
    return '\n'.join(lines)


def check_coverage(generated):
    """The generated runs must spread as promised, or the comparison proves
    less than it says."""
    problems = []
    by_format = collections.Counter(r['format'] for r in generated)
    for fmt in range(1, 11):
        if by_format[str(fmt)] < len(generated) // 20:
            problems.append(f'format {fmt}: {by_format[str(fmt)]} runs')
    kinds = collections.Counter(r['kind'] for r in generated)
    for kind, least in (('sbd', 300), ('eml', 200), ('usage', 10), ('missing', 10),
                        ('extension', 10)):
        if kinds[kind] < least * len(generated) // 1000:
            problems.append(f'{kind}: {kinds[kind]} runs')
    styles = collections.Counter(r['style'] for r in generated)
    for style in ('relative', 'dotdot', 'drive_c', 'drive_c_slashes', 'drive_z',
                  'drive_z_slashes'):
        if styles[style] < len(generated) // 50:
            problems.append(f'path style {style}: {styles[style]} runs')
    statuses = collections.Counter(r['linux_status'] for r in generated)
    for status in (0, 1, 255):
        if statuses[status] < len(generated) // 100:
            problems.append(f'exit status {status}: {statuses[status]} runs')
    converted = sum(1 for r in generated if r['linux_status'] == 0 and r['kind'] == 'sbd'
                    and r['outcome'] == 'position')
    if converted < len(generated) // 10:
        problems.append(f'only {converted} converted position reports')
    if sum(r['non_ascii'] for r in generated) < len(generated) // 10:
        problems.append('too few non-ASCII names')
    return problems


def batch_file_check(wine, layout, windows_exe):
    """cmd.exe as a user has it: the batch file's own line ends, \\Y19
    unquoted, and %ERRORLEVEL% as Windows reports the statuses."""
    folder = layout.inbox
    (folder / '300234010123450_batch.sbd').write_bytes(
        (ROOT / 'examples' / '300034012345671_single.sbd').read_bytes())
    exe = dos_path(windows_exe)
    lines = ['@echo off',
             f'"{exe}" C:\\data\\inbox\\300234010123450_batch.sbd 10 \\Y19',
             'echo status %ERRORLEVEL%',
             f'"{exe}" C:\\data\\inbox\\missing_1.sbd 7',
             'echo status %ERRORLEVEL%',
             f'"{exe}" C:\\data\\inbox\\300234010123450_batch.txt 7',
             'echo status %ERRORLEVEL%']
    (folder / 'check.bat').write_bytes('\r\n'.join(lines).encode() + b'\r\n')
    out, _ = wine.run(['cmd', '/c', 'C:\\data\\inbox\\check.bat'], folder)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--linux', required=True, type=Path)
    program = parser.add_mutually_exclusive_group(required=True)
    program.add_argument('--windows', type=Path, help='Kaldo_Command_Line.exe')
    program.add_argument('--package', type=Path, help='the ZIP that holds it')
    parser.add_argument('--runs', type=int, default=1000)
    parser.add_argument('--seed', type=int, default=20080517)
    parser.add_argument('--jobs', type=int, default=2)
    args = parser.parse_args()

    wine_path, server = find_wine()
    if not wine_path:
        text = 'Wine (Debian package wine64) is not installed'
        if os.environ.get('CI') == 'true':
            print(f'FAILED: {text}', file=sys.stderr)
            return 1
        print(f'SKIPPED: {text}; the Windows build was not compared')
        return 0
    started = time.monotonic()
    work = Path(tempfile.mkdtemp(prefix='kaldo-wine-'))
    wine = Wine(wine_path, server, work / 'prefix')
    try:
        if args.package:
            windows_exe, problems = program_from_package(args.package, work / 'package')
            if problems:
                print('FAILED: ' + '\n'.join(problems), file=sys.stderr)
                return 1
            print(f"{args.package.name}: the program, README.md and LICENSE.txt; "
                  "no DLL beyond Windows' own")
        else:
            windows_exe = args.windows.resolve()
        linux_exe = args.linux.resolve()
        for exe in (linux_exe, windows_exe):
            if not exe.is_file():
                print(f'FAILED: {exe} does not exist', file=sys.stderr)
                return 1
        boot = wine.start()
        layout = Layout(wine.drive_c)
        rng = random.Random(args.seed)
        examples = example_runs(layout)
        generated = [plan_run(rng, n, layout) for n in range(args.runs)]
        for run in generated:
            if run['contents'] is not None:
                run['path'].write_bytes(run['contents'])
            # cmd.exe reads its own command line: no characters it would
            # take for its own.
            if rng.random() < 0.05 and not any(
                    c in a for a in run['windows_args'] for c in '^&|<>%"()'):
                run['launcher'] = 'cmd'

        runs_started = time.monotonic()
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            results = list(pool.map(lambda r: execute(r, linux_exe, windows_exe, wine),
                                    examples + generated))
        runs_took = time.monotonic() - runs_started
        batch_out = batch_file_check(wine, layout, windows_exe)
    finally:
        wine.stop()
        shutil.rmtree(work, ignore_errors=True)

    differences = [r for r in results
                   if (r['linux_out'], r['linux_status']) != (r['windows_out'], r['windows_status'])]
    generated_results = results[len(examples):]
    problems = check_coverage(generated_results)
    single = (ROOT / 'examples' / '300034012345671_single.sbd')
    expected_batch = (subprocess.run([linux_exe, single.name, '10', '\\Y19'], cwd=single.parent,
                                     capture_output=True, check=False).stdout.replace(
                          b'300034012345671', b'300234010123450')
                      + b'status 0\r\n' + b'Cannot Open File.\r\nstatus 1\r\n'
                      + b'Invalid File Extensionstatus -1\r\n')

    retried = sum(r['retried'] is not None for r in results)
    print(f'Wine prefix made in {boot:.1f} s; {len(results)} runs '
          f'({len(examples)} on the examples, {len(generated_results)} generated, '
          f"{sum(r.get('launcher') == 'cmd' for r in results)} through cmd.exe) "
          f'in {runs_took:.1f} s with {args.jobs} at a time; '
          f'{retried} retried after Wine failed to start them')
    if retried:
        print('retried (first status): ' + ', '.join(
            f"{'example' if r['kind'] == 'example' else 'run'} {r['number']} ({r['retried']})"
            for r in results if r['retried'] is not None))
    counts = collections.Counter(r['linux_status'] for r in generated_results)
    print('generated: exit statuses ' + ', '.join(f'{s}: {n}' for s, n in sorted(counts.items()))
          + '; kinds ' + ', '.join(f'{k}: {n}' for k, n in sorted(
              collections.Counter(r['kind'] for r in generated_results).items()))
          + '; path styles ' + ', '.join(f'{k}: {n}' for k, n in sorted(
              collections.Counter(r['style'] for r in generated_results).items())))
    failed = False
    if batch_out != expected_batch:
        failed = True
        print(f'cmd.exe batch file: expected {expected_batch!r}\n  got {batch_out!r}')
    for problem in problems:
        failed = True
        print(f'coverage: {problem}')
    for r in differences[:20]:
        print(describe(r))
    if differences:
        failed = True
        print(f'{len(differences)} of {len(results)} runs differ')
    print(f'total {time.monotonic() - started:.1f} s')
    if failed:
        print('FAILED')
        return 1
    print(f'PASSED: all {len(results)} runs and the batch file gave the same bytes and status')
    return 0


if __name__ == '__main__':
    sys.exit(main())
