#!/usr/bin/env python3
"""Sends DirectIP messages of one report each to a kaldo serve on loopback,
for the live page's browser test, which has no DirectIP of its own.

  send_directip.py PORT < messages.json

Each message: {"imei", "momsn", "time" (Unix seconds), "lat", "lon",
"emergency"}. Prints, one JSON list, for each message whether it was
confirmed and the point the receiver decodes from it (the report's
degrees and minutes to five decimals, as the trackers send them).
"""
import importlib.util
import json
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
_spec = importlib.util.spec_from_file_location("serve_end_to_end", HERE.parent / "serve" / "serve_end_to_end.py")
e2e = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(e2e)
ex = e2e.ex


def split_degrees(value):
    """Whole degrees, whole minutes, five digits of the minute, and the
    value those make."""
    magnitude = abs(value)
    degrees = int(magnitude)
    minutes = round((magnitude - degrees) * 60 * 100000)
    whole, fraction = divmod(minutes, 100000)
    if whole == 60:
        degrees, whole = degrees + 1, 0
    made = degrees + (whole + fraction / 100000) / 60
    return degrees, whole, f"{fraction:05d}", -made if value < 0 else made


def frame(m):
    t = time.gmtime(m["time"])
    lat_deg, lat_min, lat_frac, lat = split_degrees(m["lat"])
    lon_deg, lon_min, lon_frac, lon = split_degrees(m["lon"])
    report = ex.packed_report(t.tm_hour, t.tm_min, t.tm_sec, 0, t.tm_year % 100, t.tm_mon, t.tm_mday,
                              lat_deg, lat_min, lat_frac, lon_deg, lon_min, lon_frac,
                              9, "0012345", 0, "00125", 3, "00000", 0, 9000,
                              south=m["lat"] < 0, west=m["lon"] < 0, emergency=bool(m.get("emergency")))
    point = {"modem_id": m["imei"], "time": time.strftime("%Y-%m-%dT%H:%M:%S.000Z", t),
             "lat": lat, "lon": lon, "emergency": bool(m.get("emergency"))}
    return e2e.directip_frame(m["imei"], m["momsn"], ex.message(3, [report])), point


def main():
    port = int(sys.argv[1])
    out = []
    for m in json.load(sys.stdin):
        data, point = frame(m)
        answer = e2e.send_directip(port, data)
        out.append({"confirmed": answer == e2e.SUCCESS, "point": point})
    json.dump(out, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
