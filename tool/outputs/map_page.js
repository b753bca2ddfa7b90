// Draws the tracks that the page carries as GeoJSON (#kaldo-tracks): one
// line a unit, a small circle a point, a ring at each unit's last known
// position, emergencies in red.
//
// Every point is drawn, at every zoom, on one shared canvas. A unit's
// points are one layer (PointSet) rather than one Leaflet marker each: a
// hundred thousand markers cost seconds to create and to project, where a
// layer that holds them all projects them in one loop and draws them as one
// canvas path.
(function () {
  'use strict';

  performance.mark('kaldo-start');
  var EMERGENCY_RED = '#d40000';

  function readJson(id) {
    return JSON.parse(document.getElementById(id).textContent);
  }

  var config = readJson('kaldo-config');
  var features = readJson('kaldo-tracks').features;
  performance.mark('kaldo-parsed');

  // Points as circles of `radius` pixels, each with its feature. A polyline
  // underneath, for Leaflet's bounds and projection; drawn and hit-tested
  // as circles. The layer relies on the canvas renderer's internals of the
  // Leaflet release in third_party/leaflet.
  var PointSet = L.Polyline.extend({
    // Overlapping circles must not cancel out, as under the even-odd rule.
    options: { radius: 3, fill: true, noClip: true, smoothFactor: 0, fillRule: 'nonzero' },

    initialize: function (latlngs, features, options) {
      L.Polyline.prototype.initialize.call(this, latlngs, options);
      this.features = features;
    },

    _updateBounds: function () {
      if (!this._rawPxBounds) return;
      var w = this.options.radius + this._clickTolerance();
      this._pxBounds = L.bounds(this._rawPxBounds.min.subtract([w, w]),
        this._rawPxBounds.max.add([w, w]));
    },

    _update: function () {
      if (this._map) this._updatePath();
    },

    _updatePath: function () {
      var renderer = this._renderer;
      if (!renderer._drawing || !this._rings.length) return;
      var points = this._rings[0];
      var bounds = renderer._bounds;
      var r = this.options.radius;
      var minX = bounds.min.x - r, minY = bounds.min.y - r;
      var maxX = bounds.max.x + r, maxY = bounds.max.y + r;
      var ctx = renderer._ctx;
      ctx.beginPath();
      for (var i = 0; i < points.length; i++) {
        var p = points[i];
        if (p.x < minX || p.x > maxX || p.y < minY || p.y > maxY) continue;
        ctx.moveTo(p.x + r, p.y);
        ctx.arc(p.x, p.y, r, 0, 2 * Math.PI);
      }
      renderer._fillStroke(ctx, this);
    },

    // The index of the point drawn under the layer point `p`, the one
    // nearest to it where circles overlap; -1 where there is none.
    pointAt: function (p) {
      if (!this._pxBounds || !this._pxBounds.contains(p)) return -1;
      var points = this._rings[0];
      var reach = this.options.radius + this._clickTolerance();
      var best = -1;
      var bestDistance = reach * reach;
      for (var i = 0; i < points.length; i++) {
        var dx = points[i].x - p.x, dy = points[i].y - p.y;
        var d = dx * dx + dy * dy;
        if (d <= bestDistance) { best = i; bestDistance = d; }
      }
      return best;
    },

    _containsPoint: function (p) {
      return this.pointAt(p) >= 0;
    },
  });

  var renderer = L.canvas({ padding: 0.5, tolerance: 3 });
  var map = L.map('kaldo-map', { preferCanvas: true, renderer: renderer });
  L.tileLayer(config.tiles_url, {
    attribution: config.tiles_attribution,
    maxZoom: 19,
  }).addTo(map);

  function row(table, label, value, className) {
    var tr = table.insertRow();
    var th = document.createElement('th');
    th.textContent = label;
    tr.appendChild(th);
    var td = tr.insertCell();
    td.textContent = value;
    if (className) td.className = className;
  }

  // Built when a point is clicked: text from the messages only ever goes in
  // through textContent, never as markup.
  function popupContent(properties, isLast) {
    var table = document.createElement('table');
    table.className = 'kaldo-popup';
    if (isLast) row(table, 'Last known position', '');
    row(table, 'Modem ID', properties.modem_id);
    row(table, 'UTC time', properties.time);
    row(table, 'Speed', properties.speed_kmh + ' km/h');
    row(table, 'Course', properties.course_deg + '\u00b0');
    row(table, 'Altitude', properties.altitude_m + ' m');
    if (properties.vertical_velocity_ms !== null) {
      row(table, 'Vertical velocity', properties.vertical_velocity_ms + ' m/s');
    }
    row(table, 'Satellites', String(properties.satellites));
    row(table, 'Fix', properties.fix);
    if (properties.emergency) row(table, 'Emergency', 'yes', 'kaldo-emergency');
    row(table, 'Message type', String(properties.message_type));
    if ('source' in properties) row(table, 'Source', properties.source);
    return table;
  }

  function showPopup(event) {
    var layer = event.layer;
    var feature, latlng;
    if (layer instanceof PointSet) {
      var index = layer.pointAt(event.layerPoint);
      if (index < 0) return;
      feature = layer.features[index];
      latlng = layer.getLatLngs()[index];
    } else if (layer.kaldoFeature) {
      feature = layer.kaldoFeature;
      latlng = layer.getLatLng();
    } else {
      return;
    }
    L.popup({ minWidth: 240, maxWidth: 420 })
      .setLatLng(latlng)
      .setContent(popupContent(feature.properties, layer.options.kaldoKind === 'last'))
      .openOn(map);
  }

  // The features come unit after unit, each unit's in time order.
  var units = [];
  var bounds = L.latLngBounds([]);
  var next = 0;
  config.units.forEach(function (unit) {
    var own = features.slice(next, next + unit.points);
    next += unit.points;
    var latlngs = new Array(own.length);
    var emergencies = [];
    for (var i = 0; i < own.length; i++) {
      var c = own[i].geometry.coordinates;
      latlngs[i] = L.latLng(c[1], c[0]);
      if (own[i].properties.emergency) emergencies.push(i);
    }
    var group = L.featureGroup();
    L.polyline(latlngs, { renderer: renderer, color: unit.colour, weight: 2, opacity: 0.75,
      interactive: false, kaldoKind: 'track' }).addTo(group);
    new PointSet(latlngs, own, { renderer: renderer, radius: 3, stroke: false,
      fillColor: unit.colour, fillOpacity: 0.9, kaldoKind: 'points' }).addTo(group);
    if (emergencies.length) {
      new PointSet(emergencies.map(function (k) { return latlngs[k]; }),
        emergencies.map(function (k) { return own[k]; }),
        { renderer: renderer, radius: 5, color: '#ffffff', weight: 1, fillColor: EMERGENCY_RED,
          fillOpacity: 1, kaldoKind: 'emergencies' }).addTo(group);
    }
    group.on('click', showPopup);
    if (own.length) bounds.extend(L.latLngBounds(latlngs));
    units.push({ group: group, feature: own[own.length - 1], latlng: latlngs[own.length - 1],
      colour: unit.colour });
  });
  performance.mark('kaldo-layers');

  units.forEach(function (unit) { unit.group.addTo(map); });
  // The rings last, so that no other unit's points hide them.
  units.forEach(function (unit) {
    if (!unit.feature) return;
    var ring = L.circleMarker(unit.latlng, { renderer: renderer, radius: 8, color: unit.colour,
      weight: 3, fillColor: unit.feature.properties.emergency ? EMERGENCY_RED : '#ffffff',
      fillOpacity: 1, kaldoKind: 'last' });
    ring.kaldoFeature = unit.feature;
    unit.group.addLayer(ring);
  });

  var legend = document.getElementById('kaldo-legend');
  L.DomEvent.disableClickPropagation(legend);
  L.DomEvent.disableScrollPropagation(legend);
  var Legend = L.Control.extend({ onAdd: function () { return legend; } });
  new Legend({ position: 'topright' }).addTo(map);
  legend.querySelectorAll('li[data-unit]').forEach(function (item) {
    var unit = units[Number(item.getAttribute('data-unit'))];
    item.querySelector('input').addEventListener('change', function (event) {
      if (event.target.checked) map.addLayer(unit.group);
      else map.removeLayer(unit.group);
    });
  });

  if (bounds.isValid()) {
    map.fitBounds(bounds, { padding: [24, 24], maxZoom: 16 });
  } else {
    map.setView([0, 0], 2);
  }
  performance.mark('kaldo-fitted');

  // Handles for tests and for whoever opens the console.
  window.kaldoMap = map;
  // The canvas draws in the next animation frame; the frame after it has
  // been shown.
  requestAnimationFrame(function () {
    requestAnimationFrame(function () { window.kaldoReady = performance.now(); });
  });
})();
