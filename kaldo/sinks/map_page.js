// Draws the tracks that the page carries as GeoJSON (#kaldo-tracks): one
// line a unit, a small marker a point, a ring at each unit's last known
// position, emergencies in red. Every point is a layer on one shared
// canvas: a canvas draws a hundred thousand circles in a frame, where as
// many SVG or DOM elements would not.
(function () {
  'use strict';

  var EMERGENCY_RED = '#d40000';

  function readJson(id) {
    return JSON.parse(document.getElementById(id).textContent);
  }

  var config = readJson('kaldo-config');
  var features = readJson('kaldo-tracks').features;

  var renderer = L.canvas({ padding: 0.5, tolerance: 3 });
  var map = L.map('kaldo-map', { preferCanvas: true, renderer: renderer, zoomControl: true });
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
    var marker = event.layer;
    if (!marker.kaldoFeature) return;
    L.popup({ maxWidth: 360 })
      .setLatLng(marker.getLatLng())
      .setContent(popupContent(marker.kaldoFeature.properties, marker.options.kaldoKind === 'last'))
      .openOn(map);
  }

  // The features come unit after unit, each unit's in time order.
  var units = [];
  var bounds = L.latLngBounds([]);
  var next = 0;
  config.units.forEach(function (unit) {
    var own = features.slice(next, next + unit.points);
    next += unit.points;
    var group = L.featureGroup();
    var latlngs = new Array(own.length);
    for (var i = 0; i < own.length; i++) {
      var c = own[i].geometry.coordinates;
      latlngs[i] = L.latLng(c[1], c[0]);
    }
    L.polyline(latlngs, { renderer: renderer, color: unit.colour, weight: 2, opacity: 0.75,
      interactive: false, kaldoKind: 'track' }).addTo(group);
    var pointStyle = { renderer: renderer, radius: 3, stroke: false, fillColor: unit.colour,
      fillOpacity: 0.9, kaldoKind: 'point' };
    var emergencyStyle = { renderer: renderer, radius: 5, color: '#ffffff', weight: 1,
      fillColor: EMERGENCY_RED, fillOpacity: 1, kaldoKind: 'point' };
    for (var k = 0; k < own.length; k++) {
      var marker = L.circleMarker(latlngs[k],
        own[k].properties.emergency ? emergencyStyle : pointStyle);
      marker.kaldoFeature = own[k];
      group.addLayer(marker);
    }
    group.on('click', showPopup);
    if (own.length) bounds.extend(L.latLngBounds(latlngs));
    units.push({ group: group, feature: own[own.length - 1], latlng: latlngs[own.length - 1],
      colour: unit.colour });
  });

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

  // Handles for tests and for whoever opens the console.
  window.kaldoMap = map;
  // The canvas draws in the next animation frame; the frame after it has
  // been shown.
  requestAnimationFrame(function () {
    requestAnimationFrame(function () { window.kaldoReady = performance.now(); });
  });
})();
