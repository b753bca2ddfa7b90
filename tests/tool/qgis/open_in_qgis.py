#!/usr/bin/python3
"""Opens every format kaldo tracks writes in QGIS (headless, PyQGIS), as a
GIS user would: feature counts, field types, CRS, the GeoPackage's stored
styles applied on a plain open, and a rendering of the GeoPackage in which
every unit shows in its own colour and emergencies in red on top.

    open_in_qgis.py KALDO EXAMPLES_DIR WORK_DIR

Exits 77 (skipped) when PyQGIS is missing, unless CI=true: then 1.
"""
import glob
import os
import shutil
import subprocess
import sys

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
try:
    from qgis.core import (QgsApplication, QgsCoordinateReferenceSystem, QgsMapRendererParallelJob,
                           QgsMapSettings, QgsVectorLayer, QgsWkbTypes)
    from qgis.PyQt.QtCore import QSize, QVariant
    from qgis.PyQt.QtGui import QColor
except ImportError:
    print("open_in_qgis: PyQGIS is not installed (Debian's qgis and python3-qgis)")
    sys.exit(1 if os.environ.get("CI") == "true" else 77)

EMERGENCY_RED = (0xD4, 0x00, 0x00)
failures = []


def check(condition, what):
    print(("ok - " if condition else "not ok - ") + what)
    if not condition:
        failures.append(what)


def layer(path, name=None):
    uri = path if name is None else f"{path}|layername={name}"
    opened = QgsVectorLayer(uri, name or os.path.basename(path), "ogr")
    check(opened.isValid(), f"{uri} opens")
    return opened


def field_type(opened, name):
    index = opened.fields().indexOf(name)
    return opened.fields().at(index).type() if index >= 0 else None


def main():
    kaldo, examples, work = sys.argv[1:4]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    # The examples but the unit whose one report lies on another unit's:
    # every unit can be seen on the map.
    inputs = sorted(p for p in glob.glob(os.path.join(examples, "*.sbd"))
                    if not p.endswith("_single.sbd"))
    app = QgsApplication([], False)
    app.initQgis()
    wgs84 = QgsCoordinateReferenceSystem("EPSG:4326")

    counts = {}
    # (file, positions (path, layer), modem id field, time field, time type)
    formats = [
        ("f.gpkg", ("f.gpkg", "positions"), "modem_id", "time", QVariant.DateTime),
        ("f.geojson", ("f.geojson", None), "modem_id", "time", QVariant.DateTime),
        ("f.fgb", ("f.fgb", None), "modem_id", "time", QVariant.DateTime),
        ("f.csv", ("f.csv", None), "modem_id", "time", QVariant.DateTime),
        ("f.shp", ("f.shp", None), "modem_id", "time", QVariant.String),
        ("f.gpx", ("f.gpx", "track_points"), "src", "time", QVariant.DateTime),
        ("f.kml", ("f.kml", None), None, "timestamp", QVariant.DateTime),
    ]
    for file, (path, name), id_field, time_field, time_type in formats:
        subprocess.run([kaldo, "tracks", "-q", "-o", os.path.join(work, file)] + inputs, check=True)
        if file == "f.kml":
            continue  # a folder a unit: counted below, layer by layer
        positions = layer(os.path.join(work, path), name)
        counts[file] = positions.featureCount()
        check(positions.crs() == wgs84, f"{file}: positions in WGS 84")
        check(QgsWkbTypes.geometryType(positions.wkbType()) == QgsWkbTypes.PointGeometry,
              f"{file}: positions are points")
        check(field_type(positions, id_field) == QVariant.String, f"{file}: the modem id is text")
        check(field_type(positions, time_field) == time_type, f"{file}: time typed")
        sat = next((f for f in ("satellites", "sat") if positions.fields().indexOf(f) >= 0), None)
        check(sat is not None and field_type(positions, sat) in (QVariant.Int, QVariant.LongLong),
              f"{file}: satellites a number")
    check(len(set(counts.values())) == 1, f"every format holds as many points: {counts}")

    # KML: every point has its time.
    kml = os.path.join(work, "f.kml")
    whole = QgsVectorLayer(kml, "kml", "ogr")
    sublayers = whole.dataProvider().subLayers()
    kml_points = 0
    # QGIS lists a folder once per geometry type it holds.
    for name in sorted({sub.split("!!::!!")[1] for sub in sublayers}):
        folder = layer(kml, name)
        for feature in folder.getFeatures():
            if feature.geometry().type() == QgsWkbTypes.PointGeometry:
                kml_points += 1
                stamp = feature["timestamp"]
                check(stamp is not None and not (hasattr(stamp, "isNull") and stamp.isNull()),
                      f"KML point of {name} has a time")
    check(kml_points == counts["f.gpkg"], "KML holds every point")

    # The GeoPackage's styles, applied by a plain open.
    gpkg = os.path.join(work, "f.gpkg")
    positions, tracks = layer(gpkg, "positions"), layer(gpkg, "tracks")
    units = len({f["modem_id"] for f in positions.getFeatures()})
    for opened in (positions, tracks):
        renderer = opened.renderer()
        check(renderer.type() == "categorizedSymbol" and len(renderer.categories()) == units,
              f"{opened.name()}: the stored style, a category a unit")
    unit_colours = {c.symbol().color().getRgb()[:3] for c in positions.renderer().categories()}
    check(len(unit_colours) == units, "a colour a unit")

    settings = QgsMapSettings()
    settings.setLayers([positions, tracks])  # positions on top
    settings.setDestinationCrs(wgs84)
    extent = positions.extent()
    extent.grow(max(extent.width(), extent.height()) * 0.1 + 0.01)
    settings.setExtent(extent)
    settings.setOutputSize(QSize(800, 800))
    settings.setBackgroundColor(QColor(255, 255, 255))
    job = QgsMapRendererParallelJob(settings)
    job.start()
    job.waitForFinished()
    image = job.renderedImage()
    image.save(os.path.join(work, "f.png"))
    seen = set()
    for y in range(image.height()):
        for x in range(image.width()):
            seen.add(QColor(image.pixel(x, y)).getRgb()[:3])
    check(len(unit_colours & seen) >= units,
          f"the rendering shows every unit's colour: {len(unit_colours & seen)} of {units}")
    check(EMERGENCY_RED in seen, "the rendering shows emergency red")
    # On top: the emergency point's own pixel is red.
    for feature in positions.getFeatures():
        if feature["emergency"] == 1:
            at = settings.mapToPixel().transform(feature.geometry().asPoint())
            pixel = QColor(image.pixel(int(at.x()), int(at.y()))).getRgb()[:3]
            check(pixel == EMERGENCY_RED, f"emergency of {feature['modem_id']} drawn on top in red")

    print(f"{len(failures)} failed")
    # QGIS can crash while it exits: the result is known by now.
    sys.stdout.flush()
    os._exit(1 if failures else 0)


main()
