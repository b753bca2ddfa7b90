#!/usr/bin/python3
"""QGIS's own OGC API - Features provider (PyQGIS, headless) loads the
positions and tracks of a running kaldo serve: the same features as the
store, by id, paged in pages of 1,000.

    qgis_oapif.py --kaldo PATH --work DIR [--messages N]

Exits 77 (skipped) when PyQGIS is missing, unless CI=true: then 1.
"""
import argparse
import importlib.util
import os
import sys
from pathlib import Path

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
try:
    from qgis.core import QgsApplication, QgsFeatureRequest, QgsRectangle, QgsVectorLayer
except ImportError:
    print("qgis_oapif: PyQGIS is not installed (Debian's qgis and python3-qgis)")
    sys.exit(1 if os.environ.get("CI") == "true" else 77)

HERE = Path(__file__).resolve().parent
_spec = importlib.util.spec_from_file_location("serve_end_to_end", HERE / "serve_end_to_end.py")
e2e = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(e2e)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--kaldo", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--messages", type=int, default=2000)
    args = parser.parse_args()
    Path(args.work).mkdir(parents=True, exist_ok=True)
    store = e2e.GeoPackage(args.work)
    receiver = e2e.Receiver(str(Path(args.kaldo).resolve()), store.destination, args.work,
                            e2e.free_port(), e2e.free_port())
    receiver.start()
    messages, _ = e2e.make_messages(args.messages, seed=41)

    e2e.send_all(receiver.directip_port, messages, 8, tries=1)

    app = QgsApplication([], False)
    app.initQgis()
    failures = []
    url = f"http://127.0.0.1:{receiver.http_port}/api"
    cases = [("positions", None, "SELECT fid FROM positions"),
             ("tracks", None, "SELECT fid FROM tracks"),
             ("positions", (5.0, 40.0, 12.0, 50.0),
              "SELECT id FROM rtree_positions_geom WHERE minx >= 5 AND maxx <= 12 AND miny >= 40 AND maxy <= 50")]
    for name, box, sql in cases:
        layer = QgsVectorLayer(f"url='{url}' typename='{name}' pageSize='1000' pagingEnabled='true'",
                               name, "OAPIF")
        if not layer.isValid():
            failures.append(f"{name}: the layer does not open: {layer.error().summary()}")
            continue
        request = QgsFeatureRequest()
        if box:
            request.setFilterRect(QgsRectangle(*box))
        ids = sorted(int(f.attribute("id") if layer.fields().indexOf("id") >= 0 else f.id())
                     for f in layer.getFeatures(request))
        stored = sorted(r[0] for r in store.rows(sql))
        what = f"{name}" + (f" in {box}" if box else "")
        print(("ok" if ids == stored else "not ok") + f" - {what}: {len(ids)} features, the store {len(stored)}")
        if ids != stored:
            failures.append(f"{what}: {len(ids)} features in QGIS, {len(stored)} in the store")
    # Layers go before the application, or its exit crashes.
    layer = None
    app.exitQgis()
    status, _ = receiver.stop()
    if status != 0:
        failures.append(f"kaldo serve stopped with status {status}")
    for f in failures:
        print("FAIL " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
