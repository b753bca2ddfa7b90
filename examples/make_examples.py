#!/usr/bin/env python3
"""Writes the sample tracker messages of this folder.

Each sample is built from field values, in the two report layouts the
trackers send: the binary layout of message types 1 and 2 and the packed
decimal layout of types 3 and 103. The modem ids are invented.
"""
import struct
import sys
from pathlib import Path


def binary_report(hour, minute, second, ms, year, month, day,
                  lat_deg, lat_min, lat_frac, lon_deg, lon_min, lon_frac,
                  sats, alt, alt_frac, speed, speed_tenths, course_hundredths,
                  valid=True, south=False, west=False, alt_negative=False,
                  modem_id_follows=False, alt_more=None):
    flags = ((0x80 if valid else 0) | (0x40 if west else 0) |
             (0x20 if south else 0) | (0x10 if alt_negative else 0) |
             (0x08 if alt_more is not None else 0) |
             (0x04 if modem_id_follows else 0))
    return struct.pack('<BBBHBBBBBHBBHBHHBHBHB', hour, minute, second, ms,
                       year, month, day, lat_deg, lat_min, lat_frac,
                       lon_deg, lon_min, lon_frac, sats, alt,
                       alt_more or 0, alt_frac, speed, speed_tenths,
                       course_hundredths, flags)


def packed_report(hour, minute, second, hundredths, year, month, day,
                  lat_deg, lat_min, lat_frac5, lon_deg, lon_min, lon_frac5,
                  sats, alt_digits7, alt_whole, speed_digits5, speed_whole,
                  vv_digits5, vv_whole, course_hundredths,
                  valid=True, south=False, west=False, alt_negative=False,
                  vv_negative=False, modem_id_follows=False,
                  dead_reckoning=False, fix_2d=False, emergency=False):
    """Digit strings are given as text: '0012345' for the altitude, etc."""
    la, lo = lat_frac5, lon_frac5
    b = [0] * 28
    b[0] = 10 * hour + year // 10
    b[1] = minute
    b[2] = second + 64 * vv_whole
    b[3] = hundredths | (0x80 if emergency else 0)
    b[4] = 10 * month + year % 10
    b[5] = day
    b[6], b[7], b[8], b[9] = lat_deg, lat_min, lon_deg, lon_min
    b[10], b[11] = int(la[0:2]), int(la[2:4])
    b[12] = 10 * int(la[4]) + int(lo[0])
    b[13], b[14] = int(lo[1:3]), int(lo[3:5])
    b[15] = 10 * sats + int(vv_digits5[0])
    b[16] = 10 * alt_whole + int(alt_digits7[0])
    b[17], b[18], b[19] = (int(alt_digits7[i:i + 2]) for i in (1, 3, 5))
    b[20] = 10 * speed_whole + int(speed_digits5[0])
    b[21], b[22] = int(speed_digits5[1:3]), int(speed_digits5[3:5])
    b[23], b[24] = int(vv_digits5[1:3]), int(vv_digits5[3:5])
    b[25], b[26] = course_hundredths & 0xFF, course_hundredths >> 8
    b[27] = ((0x80 if valid else 0) | (0x40 if west else 0) |
             (0x20 if south else 0) | (0x10 if alt_negative else 0) |
             (0x08 if vv_negative else 0) | (0x04 if modem_id_follows else 0) |
             (0x02 if dead_reckoning else 0) | (0x01 if fix_2d else 0))
    return bytes(b)


def message(message_type, reports, tail=b''):
    return bytes([message_type, len(reports)]) + b''.join(reports) + tail


def sms_text(message_type_char, reports, tail=b''):
    """The SMS form: type character, count digit, first report in hex."""
    first = reports[0].hex().upper().encode() if reports else b''
    rest = b''.join(reports[1:])
    return message_type_char + str(len(reports)).encode() + first + rest + tail


def email(subject, body):
    return (b'From: tracker@example.net\r\n'
            b'To: fleet@example.org\r\n'
            b'Subject: ' + subject + b'\r\n'
            b'Date: Sat, 17 May 2008 12:30:07 +0000\r\n'
            b'MIME-Version: 1.0\r\n'
            b'Content-Type: text/plain; charset="us-ascii"\r\n'
            b'\r\n' + body + b'\r\n')


ROUTE = [
    binary_report(12, 30, 5, 250, 8, 5, 17, 33, 45, 1234, 117, 50, 1234,
                  9, 123, 4, 12, 3, 4560, west=True),
    binary_report(12, 45, 9, 995, 8, 5, 17, 33, 46, 9, 117, 51, 80,
                  8, 130, 0, 30, 5, 9000, west=True),
    binary_report(13, 0, 0, 0, 8, 5, 17, 33, 47, 5000, 117, 52, 7,
                  4, 98, 7, 0, 0, 0, valid=False, west=True),
]

PACKED = [
    packed_report(23, 59, 59, 99, 99, 12, 31, 51, 28, '12345', 0, 7, '67891',
                  11, '0012345', 5, '00125', 3, '01250', 1, 35999,
                  emergency=True, vv_negative=True),
    packed_report(0, 0, 1, 7, 0, 1, 1, 51, 28, '99996', 9, 59, '00004',
                  7, '0001230', 5, '12000', 3, '00000', 0, 5, fix_2d=True),
]


def samples():
    yield '300034012345670_20080517.sbd', message(1, ROUTE)
    yield '300034012345671_single.sbd', message(1, ROUTE[:1])
    yield '300034012345672_packed.sbd', message(3, PACKED)
    yield '300034012345673_named.sbd', message(
        103, PACKED[1:] and [packed_report(
            8, 15, 30, 50, 9, 3, 1, 40, 26, '70000', 3, 42, '12000', 6,
            '0000100', 5, '00550', 2, '00000', 0, 18000,
            modem_id_follows=True)],
        b'Unit\x1b\x3c7\x1b\x3e\r')
    yield '300034012345674_update.sbd', b'Updated'
    yield 'sms_report.eml', email(b'300034012345675@sms.example.net',
                                  sms_text(b'g', PACKED[1:]))
    yield 'sms_chat.eml', email(b'300034012345676@sms.example.net',
                                b'sHello from the field')


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).parent
    for name, data in samples():
        (out / name).write_bytes(data)


if __name__ == '__main__':
    main()
