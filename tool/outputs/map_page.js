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
  // The square Web Mercator map ends here; farther points are drawn at its
  // edge, and their popup says so.
  var MAX_LATITUDE = 85.0511287798;

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
  function popupContent(feature, isLast) {
    var properties = feature.properties;
    var table = document.createElement('table');
    table.className = 'kaldo-popup';
    if (isLast) row(table, 'Last known position', '');
    var latitude = feature.geometry.coordinates[1];
    if (Math.abs(latitude) > MAX_LATITUDE) {
      row(table, 'Note', 'latitude ' + latitude + '\u00b0 is beyond the map (\u00b185.05\u00b0): ' +
        'drawn at its edge', 'kaldo-note');
    }
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
      .setContent(popupContent(feature, layer.options.kaldoKind === 'last'))
      .openOn(map);
  }

  // A unit's points as map positions, in their order. A track that crosses
  // the antimeridian goes on into the next copy of the world (longitudes
  // past ±180°) rather than back across the map.
  function placesOf(own) {
    var latlngs = new Array(own.length);
    var shift = 0;
    for (var i = 0; i < own.length; i++) {
      var c = own[i].geometry.coordinates;
      if (i > 0) {
        var step = c[0] - own[i - 1].geometry.coordinates[0];
        if (step > 180) shift -= 360;
        else if (step < -180) shift += 360;
      }
      var lat = Math.max(-MAX_LATITUDE, Math.min(MAX_LATITUDE, c[1]));
      latlngs[i] = L.latLng(lat, c[0] + shift);
    }
    return latlngs;
  }

  function emergencyLayer(unit) {
    return new PointSet([], [], { renderer: renderer, radius: 5, color: '#ffffff', weight: 1,
      fillColor: EMERGENCY_RED, fillOpacity: 1, kaldoKind: 'emergencies' });
  }

  function setEmergencies(unit) {
    var at = [];
    for (var i = 0; i < unit.own.length; i++) if (unit.own[i].properties.emergency) at.push(i);
    if (!at.length) return;
    if (!unit.emergencies) {
      unit.emergencies = emergencyLayer(unit);
      unit.emergencies.addTo(unit.group);
    }
    unit.emergencies.features = at.map(function (k) { return unit.own[k]; });
    unit.emergencies.setLatLngs(at.map(function (k) { return unit.latlngs[k]; }));
  }

  function makeUnit(own, style) {
    var unit = { own: own, latlngs: placesOf(own), colour: style.colour, group: L.featureGroup() };
    unit.track = L.polyline(unit.latlngs, { renderer: renderer, color: style.colour, weight: 2,
      opacity: 0.75, dashArray: style.dashes || null, interactive: false, kaldoKind: 'track' });
    unit.track.addTo(unit.group);
    unit.points = new PointSet(unit.latlngs, own, { renderer: renderer, radius: 3, stroke: false,
      fillColor: style.colour, fillOpacity: 0.9, kaldoKind: 'points' });
    unit.points.addTo(unit.group);
    setEmergencies(unit);
    unit.group.on('click', showPopup);
    return unit;
  }

  function addRing(unit) {
    var last = unit.own[unit.own.length - 1];
    unit.ring = L.circleMarker(unit.latlngs[unit.latlngs.length - 1], { renderer: renderer,
      radius: 8, color: unit.colour, weight: 3,
      fillColor: last.properties.emergency ? EMERGENCY_RED : '#ffffff', fillOpacity: 1,
      kaldoKind: 'last' });
    unit.ring.kaldoFeature = last;
    unit.group.addLayer(unit.ring);
  }

  // The features come unit after unit, each unit's in time order.
  var units = [];
  var bounds = L.latLngBounds([]);
  var next = 0;
  config.units.forEach(function (style) {
    var unit = makeUnit(features.slice(next, next + style.points), style);
    next += style.points;
    if (unit.own.length) bounds.extend(L.latLngBounds(unit.latlngs));
    units.push(unit);
  });
  performance.mark('kaldo-layers');

  units.forEach(function (unit) { unit.group.addTo(map); });
  // The rings last, so that no other unit's points hide them.
  units.forEach(function (unit) { if (unit.own.length) addRing(unit); });

  var legend = document.getElementById('kaldo-legend');
  L.DomEvent.disableClickPropagation(legend);
  L.DomEvent.disableScrollPropagation(legend);
  var Legend = L.Control.extend({ onAdd: function () { return legend; } });
  new Legend({ position: 'topright' }).addTo(map);
  var items = Array.prototype.slice.call(legend.querySelectorAll('li[data-unit]'));
  function setShown(item, shown) {
    var unit = units[Number(item.getAttribute('data-unit'))];
    item.querySelector('input').checked = shown;
    if (shown) map.addLayer(unit.group);
    else map.removeLayer(unit.group);
  }
  items.forEach(function (item) {
    item.querySelector('input').addEventListener('change', function (event) {
      setShown(item, event.target.checked);
    });
  });
  // Show all and hide all act on the units the filter leaves listed.
  function listed() {
    return items.filter(function (item) { return !item.hidden; });
  }
  var showAll = document.getElementById('kaldo-show-all');
  var hideAll = document.getElementById('kaldo-hide-all');
  var filter = document.getElementById('kaldo-filter');
  if (showAll) showAll.addEventListener('click', function () {
    listed().forEach(function (item) { setShown(item, true); });
  });
  if (hideAll) hideAll.addEventListener('click', function () {
    listed().forEach(function (item) { setShown(item, false); });
  });
  if (filter) filter.addEventListener('input', function () {
    var wanted = filter.value.trim().toLowerCase();
    items.forEach(function (item) {
      var id = item.querySelector('.kaldo-id').textContent.toLowerCase();
      item.hidden = wanted !== '' && id.indexOf(wanted) < 0;
    });
  });

  if (bounds.isValid()) {
    // The legend sits over the map's top right: the tracks are fitted into
    // the rest, so that none is hidden under it.
    var mapBox = document.getElementById('kaldo-map').getBoundingClientRect();
    var legendBox = legend.getBoundingClientRect();
    var right = Math.min(legendBox.width + 24, mapBox.width / 2);
    map.fitBounds(bounds, { paddingTopLeft: [24, 24], paddingBottomRight: [right, 24],
      maxZoom: 16 });
  } else {
    map.setView([0, 0], 2);
  }
  performance.mark('kaldo-fitted');

  if (config.live) follow(config.live);

  // A live page (kaldo serve): each new point from the event stream joins
  // its unit, or makes a new one; emergencies raise a banner.
  function follow(live) {
    var params = new URLSearchParams(location.search);
    var token = params.get('token');
    var lastId = live.last_event_id;
    var source = null;
    var shown = 0;
    units.forEach(function (unit, u) {
      unit.modemId = unit.own.length ? unit.own[0].properties.modem_id : '';
      unit.item = legend.querySelector('li[data-unit="' + u + '"]');
      shown += unit.own.length;
    });

    function rangeText(time) { return time.replace('T', ' ').slice(0, 19); }

    function updateLegend(unit) {
      var item = unit.item;
      var count = unit.own.length;
      item.querySelector('.kaldo-count').textContent = count + (count === 1 ? ' point' : ' points');
      var emergencies = unit.emergencies ? unit.emergencies.features.length : 0;
      var span = item.querySelector('.kaldo-emergencies');
      if (emergencies && !span) {
        item.querySelector('.kaldo-count').after(', ');
        span = document.createElement('span');
        span.className = 'kaldo-emergencies';
        item.querySelector('.kaldo-count').nextSibling.after(span);
      }
      if (span) span.textContent = emergencies + (emergencies === 1 ? ' emergency' : ' emergencies');
      var range = item.querySelector('.kaldo-range');
      if (!range) {
        item.appendChild(document.createElement('br'));
        range = document.createElement('span');
        range.className = 'kaldo-range';
        item.appendChild(range);
      }
      range.textContent = rangeText(unit.own[0].properties.time) + ' \u2013 ' +
        rangeText(unit.own[count - 1].properties.time) + ' UTC';
      document.title = 'Tracks of ' + units.length + (units.length === 1 ? ' unit, ' : ' units, ') +
        shown + (shown === 1 ? ' point' : ' points');
    }

    function newUnit(modemId) {
      var u = units.length;
      var unit = makeUnit([], config.palette[u % config.palette.length]);
      unit.modemId = modemId;
      var item = document.createElement('li');
      item.setAttribute('data-unit', String(u));
      var label = document.createElement('label');
      var box = document.createElement('input');
      box.type = 'checkbox';
      box.checked = true;
      var swatch = document.createElement('span');
      swatch.className = 'kaldo-swatch';
      swatch.style.background = unit.colour;
      var id = document.createElement('span');
      id.className = 'kaldo-id';
      id.textContent = modemId;
      label.append(box, ' ', swatch, id);
      var count = document.createElement('span');
      count.className = 'kaldo-count';
      item.append(label, ' ', count);
      legend.querySelector('ul').appendChild(item);
      var none = legend.querySelector('p:not(.kaldo-key)');
      if (none) none.remove();
      box.addEventListener('change', function (event) { setShown(item, event.target.checked); });
      items.push(item);
      unit.item = item;
      units.push(unit);
      unit.group.addTo(map);
      return unit;
    }

    // Adds the point unless the page has it; the unit after.
    function add(feature) {
      var p = feature.properties;
      if (live.unit && p.modem_id !== live.unit) return null;
      var unit = units.find(function (u) { return u.modemId === p.modem_id; }) || newUnit(p.modem_id);
      var own = unit.own;
      // After every point not later than it (times are ISO 8601 in UTC).
      var at = own.length;
      while (at > 0 && own[at - 1].properties.time > p.time) at--;
      var c = feature.geometry.coordinates;
      for (var k = at - 1; k >= 0 && own[k].properties.time === p.time; k--) {
        var o = own[k].geometry.coordinates;
        if (o[0] === c[0] && o[1] === c[1]) return unit;
      }
      own.splice(at, 0, feature);
      shown++;
      unit.latlngs = placesOf(own);
      unit.track.setLatLngs(unit.latlngs);
      unit.points.features = own;
      unit.points.setLatLngs(unit.latlngs);
      setEmergencies(unit);
      if (unit.ring) unit.group.removeLayer(unit.ring);
      addRing(unit);
      updateLegend(unit);
      return unit;
    }

    var banner = document.getElementById('kaldo-banner');
    function raise(feature) {
      var p = feature.properties;
      var c = feature.geometry.coordinates;
      var entry = document.createElement('div');
      entry.className = 'kaldo-alert';
      var text = document.createElement('span');
      text.textContent = 'Emergency: ' + p.modem_id + ' at ' + rangeText(p.time) + ' UTC, ' +
        c[1].toFixed(5) + ', ' + c[0].toFixed(5);
      var zoom = document.createElement('button');
      zoom.type = 'button';
      zoom.textContent = 'Zoom to it';
      zoom.addEventListener('click', function () {
        map.setView([Math.max(-MAX_LATITUDE, Math.min(MAX_LATITUDE, c[1])), c[0]], 14);
      });
      var dismiss = document.createElement('button');
      dismiss.type = 'button';
      dismiss.textContent = 'Dismiss';
      dismiss.addEventListener('click', function () { entry.remove(); });
      entry.append(text, ' ', zoom, ' ', dismiss);
      banner.appendChild(entry);
    }

    function url(after) {
      var query = new URLSearchParams();
      query.set('after', String(after));
      if (live.unit) query.set('unit', live.unit);
      if (token !== null) query.set('token', token);
      return live.events_url + '?' + query.toString();
    }

    function connect() {
      source = new EventSource(url(lastId));
      source.addEventListener('position', function (event) {
        add(JSON.parse(event.data));
        lastId = Number(event.lastEventId);
      });
      // An emergency also comes as a position, after it: the point is
      // added here too, so that a stream broken between the two loses it not.
      source.addEventListener('emergency', function (event) {
        var feature = JSON.parse(event.data);
        add(feature);
        raise(feature);
        lastId = Number(event.lastEventId);
      });
      source.addEventListener('reset', function () { location.reload(); });
    }
    connect();
    window.kaldoLive = {
      lastEventId: function () { return lastId; },
      // A new stream from the last event seen, as after a dropped connection.
      reconnect: function () { source.close(); connect(); },
      pointCount: function () { return shown; },
    };
  }

  // Handles for tests and for whoever opens the console.
  window.kaldoMap = map;
  // The canvas draws in the next animation frame; the frame after it has
  // been shown.
  requestAnimationFrame(function () {
    requestAnimationFrame(function () { window.kaldoReady = performance.now(); });
  });
})();
