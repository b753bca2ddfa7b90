// The map page in a real headless Chromium, from file:// with the network
// off: it loads without script errors, its map holds every track and point
// where the data puts them, a click opens the right popup, the legend hides
// and shows a unit, hostile modem ids stay text; a track across the
// antimeridian and points past the poles' edge of the map are drawn on it.
// Then it times pages of
// generated points and reports, and saves a screenshot (map.png).
//
//   node map_page_test.mjs MAKE_PAGE WORK_DIR
//
// KALDO_MAP_PAGE_TIMING="10000,100000" sets the timed sizes; "" times none.
// Without Chromium or playwright-core the test skips (exit 77), saying why;
// with CI=true it fails instead.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

import { launch, missingPart, open as openPage } from './chromium.mjs';
import { assert, assertEqual, check, fail, finish } from './harness.mjs';

const [makePage, workDir] = process.argv.slice(2);
if (!makePage || !workDir) {
  console.error('usage: node map_page_test.mjs MAKE_PAGE WORK_DIR');
  process.exit(2);
}

const missing = await missingPart();
if (missing) {
  console.log(`map page browser test: ${missing}`);
  if (process.env.CI === 'true') {
    console.log('CI=true: a missing part fails the test');
    process.exit(1);
  }
  console.log('skipped');
  process.exit(77);
}

const DEFAULT_TILES = /^https:\/\/tile\.openstreetmap\.org\/\d+\/\d+\/\d+\.png$/;
const OTHER_TILES_URL = 'http://tiles.example.invalid/{z}/{x}/{y}.png';
const OTHER_TILES = /^http:\/\/tiles\.example\.invalid\/\d+\/\d+\/\d+\.png$/;
const EMERGENCY_RED = '#d40000';
// Where the square Web Mercator map ends, north and south.
const MAX_LATITUDE = Math.atan(Math.sinh(Math.PI)) * 180 / Math.PI;

fs.mkdirSync(workDir, { recursive: true });


function generate(name, args) {
  const page = path.join(workDir, `${name}.html`);
  const expect = path.join(workDir, `${name}.json`);
  const run = spawnSync(makePage, [...args, '--out', page, '--expect', expect], { encoding: 'utf8' });
  if (run.status !== 0) throw new Error(`make_page ${args.join(' ')}: ${run.stderr}`);
  return { page, url: pathToFileURL(page).href, expected: JSON.parse(fs.readFileSync(expect, 'utf8')) };
}

const browser = await launch();
const open = (url, timeoutMs) => openPage(browser.context, url, timeoutMs);

// Everything the map holds, read from Leaflet's own layers: the lines, the
// point sets (a unit's points; its emergencies drawn again in red) and the
// rings at the last known positions.
function mapContents(page) {
  return page.evaluate(() => {
    const contents = { tracks: [], points: [], emergencies: [], rings: [], tiles: [] };
    const describe = (latlng, feature, layer) => ({
      lat: latlng.lat, lon: latlng.lng, fill: layer.options.fillColor,
      modem_id: feature.properties.modem_id, time: feature.properties.time });
    window.kaldoMap.eachLayer((layer) => {
      const kind = layer.options.kaldoKind;
      if (layer instanceof L.TileLayer) contents.tiles.push(layer._url);
      else if (kind === 'track') {
        contents.tracks.push({ colour: layer.options.color,
          latlngs: layer.getLatLngs().map((p) => [p.lat, p.lng]) });
      } else if (kind === 'points' || kind === 'emergencies') {
        layer.getLatLngs().forEach((latlng, i) =>
          contents[kind].push(describe(latlng, layer.features[i], layer)));
      } else if (kind === 'last') {
        contents.rings.push(describe(layer.getLatLng(), layer.kaldoFeature, layer));
      }
    });
    return contents;
  });
}

function problemsOnLoad(seen, tiles) {
  const problems = [...seen.pageErrors];
  for (const error of seen.consoleErrors) {
    const failedTile = error.text.startsWith('Failed to load resource') && tiles.test(error.url);
    if (!failedTile) problems.push(`console: ${error.text} (${error.url})`);
  }
  return problems;
}

const key = (p) => `${p.modem_id}|${p.time}|${p.lat}|${p.lon}`;
const iso = (ms) => new Date(ms).toISOString();

function expectedPoints(expected) {
  return expected.units.flatMap((unit) => unit.points.map((p) => ({
    modem_id: unit.modem_id, time: iso(p.time_ms), lat: p.lat, lon: p.lon, emergency: p.emergency })));
}

// Compares what the map holds with what the page was made from.
function checkContents(contents, expected) {
  assertEqual(contents.tracks.length, expected.units.length, 'number of track lines');
  expected.units.forEach((unit, u) => {
    assertEqual(contents.tracks[u].latlngs, unit.points.map((p) => [p.lat, p.lon]),
      `line of unit ${u}`);
  });
  const points = expectedPoints(expected);
  assertEqual(contents.points.length, points.length, 'number of point markers');
  assertEqual(contents.points.map(key).sort(), points.map(key).sort(), 'point markers');
  assertEqual(contents.emergencies.map(key).sort(), points.filter((p) => p.emergency).map(key).sort(),
    'emergency markers');
  assertEqual(contents.emergencies.filter((p) => p.fill !== EMERGENCY_RED), [],
    'emergency markers not red');
  const lasts = expected.units.map((unit) => {
    const p = unit.points[unit.points.length - 1];
    return key({ modem_id: unit.modem_id, time: iso(p.time_ms), lat: p.lat, lon: p.lon });
  });
  assertEqual(contents.rings.map(key).sort(), lasts.sort(), 'last known position rings');
}

const beyondMap = (p) => Math.abs(p.lat) > MAX_LATITUDE;
const crossesAntimeridian = (unit) =>
  unit.points.some((p, i, own) => i > 0 && Math.abs(p.lon - own[i - 1].lon) > 180);

// Where the map may draw a point that it cannot show as it is: moved by
// whole turns of longitude, so that a line goes on into the next copy of
// the world, and past the map's edge, to the edge. Whatever the data, a
// line starts where its first point is and never steps more than halfway
// round the world; a unit's points and its ring sit on its line's vertices.
function checkDrawnOnEdges(contents, expected) {
  assertEqual(contents.tracks.length, expected.units.length, 'number of track lines');
  expected.units.forEach((unit, u) => {
    const line = contents.tracks[u].latlngs;
    assertEqual(line.length, unit.points.length, `vertices of unit ${u}`);
    unit.points.forEach((p, i) => {
      const [lat, lon] = line[i];
      const edgeLat = beyondMap(p) ? Math.sign(p.lat) * MAX_LATITUDE : p.lat;
      assert(Math.abs(lat - edgeLat) < 1e-9, `unit ${u} point ${i} (${p.lat}) drawn at latitude ${lat}`);
      const turns = (lon - p.lon) / 360;
      assert(Math.abs(turns - Math.round(turns)) < 1e-9 && (i > 0 || lon === p.lon),
        `unit ${u} point ${i} (${p.lon}) drawn at longitude ${lon}`);
      if (i > 0) {
        assert(Math.abs(lon - line[i - 1][1]) <= 180,
          `unit ${u} steps from longitude ${line[i - 1][1]} to ${lon}, back across the map`);
      }
    });
    const at = (q) => [q.lat, q.lon];
    const mine = (q) => q.modem_id === unit.modem_id;
    assertEqual(contents.points.filter(mine).map(at), line, `points of unit ${u}`);
    for (const q of contents.emergencies.filter(mine)) {
      const i = unit.points.findIndex((p) => iso(p.time_ms) === q.time);
      assertEqual(at(q), line[i], `emergency of unit ${u} at ${q.time}`);
    }
    assertEqual(contents.rings.filter(mine).map(at), [line.at(-1)], `ring of unit ${u}`);
  });
}

// The point of `unit` farthest from every other point, so that a click on
// it can hit nothing else.
function loneliestPoint(expected, unitIndex, filter = () => true) {
  const all = expected.units.flatMap((unit) => unit.points);
  let best;
  let bestDistance = -1;
  expected.units[unitIndex].points.forEach((p, i, own) => {
    if (!filter(p, i, own)) return;
    let nearest = Infinity;
    for (const q of all) {
      if (q === p) continue;
      nearest = Math.min(nearest, Math.hypot(q.lat - p.lat, q.lon - p.lon));
    }
    if (nearest > bestDistance) { bestDistance = nearest; best = p; }
  });
  return best;
}

// Centres the map on `point` at zoom 15, where one point stands clear of
// the others, and returns where it is on the screen, with the colour the
// canvas has there and the colour `expectedColour` (CSS) comes to.
async function showPoint(page, point, expectedColour) {
  await page.evaluate(([lat, lon]) => {
    window.kaldoMap.closePopup();
    window.kaldoMap.setView([lat, lon], 15, { animate: false });
  }, [point.lat, point.lon]);
  // A closed popup fades out before it leaves the page; the canvas draws in
  // the next frame.
  await page.waitForFunction(() => document.querySelectorAll('.leaflet-popup').length === 0,
    null, { timeout: 5000 });
  await page.evaluate(() => new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done))));
  return page.evaluate(([lat, lon, colour]) => {
    const p = window.kaldoMap.latLngToContainerPoint([lat, lon]);
    const box = document.getElementById('kaldo-map').getBoundingClientRect();
    const x = box.left + p.x;
    const y = box.top + p.y;
    const canvas = document.querySelector('.leaflet-overlay-pane canvas');
    const area = canvas.getBoundingClientRect();
    const scale = canvas.width / area.width;
    const drawn = canvas.getContext('2d').getImageData(
      Math.round((x - area.left) * scale), Math.round((y - area.top) * scale), 1, 1).data;
    const probe = document.createElement('canvas').getContext('2d');
    probe.fillStyle = colour;
    probe.fillRect(0, 0, 1, 1);
    return { x, y, drawn: [...drawn], expected: [...probe.getImageData(0, 0, 1, 1).data] };
  }, [point.lat, point.lon, expectedColour]);
}

function assertDrawnIn(shown, what) {
  const close = shown.drawn.slice(0, 3).every((v, i) => Math.abs(v - shown.expected[i]) <= 4);
  assert(close && shown.drawn[3] >= 200,
    `${what}: the canvas there is rgba(${shown.drawn}), not rgb(${shown.expected.slice(0, 3)})`);
}

// Clicks the map where `point` is drawn, after checking that it is drawn in
// `colour`, and returns the popup's rows.
async function clickPoint(page, point, colour) {
  const at = await showPoint(page, point, colour);
  assertDrawnIn(at, 'the point');
  await page.mouse.click(at.x, at.y);
  await page.waitForSelector('.leaflet-popup-content table', { timeout: 5000 });
  return page.$$eval('.leaflet-popup-content tr',
    (rows) => rows.map((row) => [row.cells[0].textContent, row.cells[1].textContent]));
}

// The colour the legend gives unit `index`.
function unitColour(page, index) {
  return page.$eval(`#kaldo-legend li[data-unit="${index}"] .kaldo-swatch`,
    (swatch) => swatch.style.background);
}

// How many of `points` the opening view puts under the legend.
function underLegend(page, points) {
  return page.evaluate((points) => {
    const legend = document.getElementById('kaldo-legend').getBoundingClientRect();
    const map = document.getElementById('kaldo-map').getBoundingClientRect();
    return points.filter((p) => {
      const at = window.kaldoMap.latLngToContainerPoint([p.lat, p.lon]);
      const x = at.x + map.left, y = at.y + map.top;
      return x >= legend.left && x <= legend.right && y >= legend.top && y <= legend.bottom;
    }).length;
  }, points);
}

function popupRows(unit, p, last) {
  const rows = [];
  if (last) rows.push(['Last known position', '']);
  rows.push(['Modem ID', unit.modem_id], ['UTC time', iso(p.time_ms)],
    ['Speed', `${p.speed_kmh} km/h`], ['Course', `${p.course_deg}\u00b0`],
    ['Altitude', `${p.altitude_m} m`]);
  if (p.vertical_velocity_ms !== null) rows.push(['Vertical velocity', `${p.vertical_velocity_ms} m/s`]);
  rows.push(['Satellites', String(p.satellites)], ['Fix', p.fix]);
  if (p.emergency) rows.push(['Emergency', 'yes']);
  rows.push(['Message type', String(p.message_type)]);
  if ('source' in p) rows.push(['Source', p.source]);
  return rows;
}

// The embedded GeoJSON against kaldo::decode_message of the messages the
// page was made from.
function checkGeoJson(geojson, expected, withSource) {
  assertEqual(geojson.type, 'FeatureCollection', 'GeoJSON type');
  const features = geojson.features;
  const flat = expected.units.flatMap((unit) => unit.points.map((p) => [unit, p]));
  assertEqual(features.length, flat.length, 'number of features');
  flat.forEach(([unit, p], i) => {
    const f = features[i];
    assertEqual(f.geometry, { type: 'Point', coordinates: [p.lon, p.lat] }, `feature ${i} geometry`);
    const properties = {
      modem_id: unit.modem_id, time: iso(p.time_ms), altitude_m: p.altitude_m,
      speed_kmh: p.speed_kmh, course_deg: p.course_deg,
      vertical_velocity_ms: p.vertical_velocity_ms, satellites: p.satellites, fix: p.fix,
      emergency: p.emergency ? 1 : 0, message_type: p.message_type,
    };
    if (withSource) properties.source = p.source;
    assertEqual(f.properties, properties, `feature ${i} properties`);
  });
}

try {
  // Two hostile modem ids among three units.
  const small = generate('small', ['--points', '300', '--units', '3', '--hostile']);
  let opened;
  await check('the page opens and draws', async () => { opened = await open(small.url); });
  if (!opened) throw new Error('the page did not open: the checks on it cannot run');
  const { page } = opened;

  await check('the page loads without script errors, failed tile requests aside', async () => {
    assertEqual(problemsOnLoad(opened.seen, DEFAULT_TILES), [], 'errors');
  });

  await check('the page asks the network for map tiles and nothing else', async () => {
    const others = opened.seen.requests.filter((url) => url !== small.url && !DEFAULT_TILES.test(url));
    assertEqual(others, [], 'requests other than tiles');
    assert(opened.seen.requests.some((url) => DEFAULT_TILES.test(url)), 'no tile was asked for');
  });

  await check('modem ids holding markup stay text', async () => {
    const state = await page.evaluate(() => ({
      injected: window.kaldoInjected,
      element: document.getElementById('kaldo-injected') !== null,
      scripts: document.scripts.length,
      ids: [...document.querySelectorAll('#kaldo-legend .kaldo-id')].map((e) => e.textContent),
    }));
    assertEqual(state.injected, undefined, 'window.kaldoInjected');
    assertEqual(state.element, false, 'an injected element exists');
    assertEqual(state.scripts, 4, 'script elements (Leaflet, config, tracks, page)');
    assertEqual(state.ids, small.expected.units.map((u) => u.modem_id), 'legend ids');
  });

  await check('the embedded GeoJSON holds every point with its fields', async () => {
    const geojson = await page.evaluate(() =>
      JSON.parse(document.getElementById('kaldo-tracks').textContent));
    checkGeoJson(geojson, small.expected, false);
  });

  await check('the view opens fitted to all tracks', async () => {
    const outside = await page.evaluate((points) => {
      const bounds = window.kaldoMap.getBounds();
      return points.filter((p) => !bounds.contains([p.lat, p.lon])).length;
    }, expectedPoints(small.expected));
    assertEqual(outside, 0, 'points outside the opening view');
  });

  for (const zoom of [null, 3, 17]) {
    await check(`the map holds every line and point${zoom ? ` at zoom ${zoom}` : ''}`, async () => {
      if (zoom) await page.evaluate((z) => { window.kaldoMap.setZoom(z, { animate: false }); }, zoom);
      const contents = await mapContents(page);
      assertEqual(contents.tiles.length, 1, 'tile layers');
      checkContents(contents, small.expected);
    });
  }

  await check('a click on a point opens its popup', async () => {
    const unit = small.expected.units[2];
    const point = loneliestPoint(small.expected, 2,
      (p, i, own) => !p.emergency && i !== own.length - 1);
    assertEqual(await clickPoint(page, point, await unitColour(page, 2)),
      popupRows(unit, point, false), 'popup');
  });

  await check('a click on an emergency point opens its popup', async () => {
    const unit = small.expected.units[0];
    const point = loneliestPoint(small.expected, 0, (p, i, own) => p.emergency && i !== own.length - 1);
    assert(point, 'the test data has no emergency');
    assertEqual(await clickPoint(page, point, EMERGENCY_RED), popupRows(unit, point, false), 'popup');
  });

  await check('a click on the last known position says so', async () => {
    const unit = small.expected.units[1];
    const point = unit.points[unit.points.length - 1];
    // The ring is white inside, red for an emergency.
    const inside = point.emergency ? EMERGENCY_RED : '#ffffff';
    assertEqual(await clickPoint(page, point, inside), popupRows(unit, point, true), 'popup');
  });

  await check('the legend hides and shows a unit', async () => {
    await page.evaluate(() => window.kaldoMap.closePopup());
    const hidden = small.expected.units[1];
    const box = page.locator('#kaldo-legend li[data-unit="1"] input');
    await box.uncheck();
    const without = await mapContents(page);
    assertEqual(without.tracks.length, 2, 'lines with one unit hidden');
    assertEqual(without.points.filter((p) => p.modem_id === hidden.modem_id).length, 0,
      'points of the hidden unit');
    assertEqual(without.points.length, 300 - hidden.points.length, 'points left');
    await box.check();
    checkContents(await mapContents(page), small.expected);
  });

  await check('hide all and show all act on every unit', async () => {
    await page.click('#kaldo-hide-all');
    const none = await mapContents(page);
    assertEqual([none.tracks.length, none.points.length], [0, 0], 'lines and points left');
    await page.click('#kaldo-show-all');
    checkContents(await mapContents(page), small.expected);
  });

  await check('the filter lists the units whose id holds its text', async () => {
    const wanted = small.expected.units[1].modem_id;
    await page.fill('#kaldo-filter', wanted.slice(-3));
    const listed = await page.$$eval('#kaldo-legend li[data-unit]',
      (items) => items.filter((i) => !i.hidden).map((i) => i.querySelector('.kaldo-id').textContent));
    assertEqual(listed, small.expected.units.map((u) => u.modem_id)
      .filter((id) => id.includes(wanted.slice(-3))), 'listed ids');
    await page.fill('#kaldo-filter', '');
  });

  await page.close();

  await check('the opening view keeps every point clear of the legend', async () => {
    const { page: fresh } = await open(small.url);
    assertEqual(await underLegend(fresh, expectedPoints(small.expected)), 0, 'points under the legend');
    await fresh.close();
  });

  await check('a legend of 100 units scrolls within the window', async () => {
    const many = generate('many', ['--points', '300', '--units', '100']);
    const { page: manyPage } = await open(many.url);
    const state = await manyPage.evaluate(() => {
      const list = document.querySelector('#kaldo-legend ul');
      const legend = document.getElementById('kaldo-legend').getBoundingClientRect();
      return { scrolls: list.scrollHeight > list.clientHeight,
        inside: legend.bottom <= window.innerHeight,
        items: document.querySelectorAll('#kaldo-legend li[data-unit]').length };
    });
    assertEqual(state, { scrolls: true, inside: true, items: 100 }, 'legend');
    await manyPage.close();
  });

  await check('--tiles and --with-source: the other server, and each point its source', async () => {
    const other = generate('other', ['--points', '40', '--units', '2', '--tiles', OTHER_TILES_URL,
      '--with-source']);
    const { page: otherPage, seen } = await open(other.url);
    assertEqual(problemsOnLoad(seen, OTHER_TILES), [], 'errors');
    const others = seen.requests.filter((url) => url !== other.url && !OTHER_TILES.test(url));
    assertEqual(others, [], 'requests other than tiles');
    assert(seen.requests.some((url) => OTHER_TILES.test(url)), 'no tile was asked for');
    checkGeoJson(await otherPage.evaluate(() =>
      JSON.parse(document.getElementById('kaldo-tracks').textContent)), other.expected, true);
    const point = loneliestPoint(other.expected, 1, (p, i, own) => i !== own.length - 1);
    assertEqual(await clickPoint(otherPage, point, await unitColour(otherPage, 1)),
      popupRows(other.expected.units[1], point, false), 'popup');
    await otherPage.close();
  });

  // Two walks, a unit across the antimeridian and one past the poles.
  const edges = generate('edges', ['--points', '120', '--units', '2', '--edges']);
  const crossing = edges.expected.units.findIndex(crossesAntimeridian);
  const polar = edges.expected.units.findIndex((unit) => unit.points.some(beyondMap));
  let edgesPage;
  let edgesDrawn;
  await check('edges: the page loads, fitted to every point where it is drawn', async () => {
    assert(crossing >= 0 && polar >= 0, 'make_page --edges made no unit across the ' +
      `antimeridian (${crossing}) or past the map's edge (${polar})`);
    const opened = await open(edges.url);
    edgesPage = opened.page;
    assertEqual(problemsOnLoad(opened.seen, DEFAULT_TILES), [], 'errors');
    checkGeoJson(await edgesPage.evaluate(() =>
      JSON.parse(document.getElementById('kaldo-tracks').textContent)), edges.expected, false);
    edgesDrawn = await mapContents(edgesPage);
    const drawn = edgesDrawn.points.map((p) => ({ lat: p.lat, lon: p.lon }));
    const outside = await edgesPage.evaluate((points) => {
      const bounds = window.kaldoMap.getBounds();
      return points.filter((p) => !bounds.contains([p.lat, p.lon])).length;
    }, drawn);
    assertEqual(outside, 0, 'points outside the opening view');
    assertEqual(await underLegend(edgesPage, drawn), 0, 'points under the legend');
  });
  if (!edgesDrawn || crossing < 0 || polar < 0) {
    throw new Error('the edges page did not open or lacks its units: the checks on it cannot run');
  }

  await check('edges: the track across the antimeridian is one line, drawn in one piece', async () => {
    const line = await edgesPage.evaluate((index) => {
      const lines = [];
      window.kaldoMap.eachLayer((layer) => { if (layer.options.kaldoKind === 'track') lines.push(layer); });
      const xs = lines[index]._parts.flat().map((p) => p.x);
      return { flat: L.LineUtil.isFlat(lines[index].getLatLngs()), parts: lines[index]._parts.length,
        width: Math.max(...xs) - Math.min(...xs), world: 256 * 2 ** window.kaldoMap.getZoom() };
    }, crossing);
    // The whole track is in the opening view: nothing clips it.
    assertEqual([line.flat, line.parts], [true, 1], 'one line, in parts drawn');
    assert(line.width < line.world / 2, `the line is ${line.width} px wide in a world of ${line.world} px`);
  });

  for (const zoom of [null, 2, 12]) {
    await check(`edges: every line and point is drawn on the map${zoom ? ` at zoom ${zoom}` : ''}`, async () => {
      if (zoom) await edgesPage.evaluate((z) => { window.kaldoMap.setZoom(z, { animate: false }); }, zoom);
      checkDrawnOnEdges(await mapContents(edgesPage), edges.expected);
    });
  }

  // Every point past the map's edge, and one moved into the next world.
  const edgeClicks = [
    ...edges.expected.units[polar].points.flatMap((p, i) => beyondMap(p)
      ? [[`the point at latitude ${p.lat}`, polar, i]] : []),
    [`a point moved past 180° of longitude`, crossing,
      edgesDrawn.tracks[crossing].latlngs.findIndex(([, lon], i, line) =>
        Math.abs(lon) > 180 && i !== line.length - 1 &&
        !edges.expected.units[crossing].points[i].emergency)],
  ];
  for (const [name, u, i] of edgeClicks) {
    await check(`edges: a click on ${name} opens its popup`, async () => {
      const unit = edges.expected.units[u];
      const p = unit.points[i];
      assert(p && !p.emergency && i !== unit.points.length - 1, `no point to click: ${i}`);
      const [lat, lon] = edgesDrawn.tracks[u].latlngs[i];
      const rows = await clickPoint(edgesPage, { lat, lon }, await unitColour(edgesPage, u));
      const notes = rows.filter(([label]) => label === 'Note');
      if (beyondMap(p)) {
        assertEqual(notes.length, 1, 'notes');
        assert(notes[0][1].includes(`${p.lat}°`) && notes[0][1].includes('beyond the map'),
          `the note says ${JSON.stringify(notes[0][1])}`);
      }
      assertEqual(rows.filter(([label]) => label !== 'Note'), popupRows(unit, p, false), 'popup');
      if (!beyondMap(p)) assertEqual(notes, [], 'notes');
    });
  }
  await edgesPage.close();

  await check('screenshot, with the popup of a clicked emergency', async () => {
    const shown = generate('screenshot', ['--points', '604', '--units', '4']);
    const { page: shot, seen } = await open(shown.url);
    assertEqual(problemsOnLoad(seen, DEFAULT_TILES), [], 'errors');
    const unit = shown.expected.units[2];
    // One low on the map, so that its popup stays clear of the legend.
    const point = unit.points.filter((p) => p.emergency).at(-2);
    const at = await shot.evaluate(([lat, lon]) => {
      const p = window.kaldoMap.latLngToContainerPoint([lat, lon]);
      const box = document.getElementById('kaldo-map').getBoundingClientRect();
      return { x: box.left + p.x, y: box.top + p.y };
    }, [point.lat, point.lon]);
    await shot.mouse.click(at.x, at.y);
    await shot.waitForSelector('.leaflet-popup-content table', { timeout: 5000 });
    const rows = await shot.$$eval('.leaflet-popup-content tr',
      (trs) => trs.map((row) => [row.cells[0].textContent, row.cells[1].textContent]));
    assertEqual(rows, popupRows(unit, point, false), 'popup');
    // The popup fades in.
    await shot.waitForFunction(() =>
      getComputedStyle(document.querySelector('.leaflet-popup')).opacity === '1');
    const file = path.join(workDir, 'map.png');
    await shot.screenshot({ path: file });
    assert(fs.statSync(file).size > 10000, 'the screenshot is nearly empty');
    console.log(`  screenshot: ${file}`);
    await shot.close();
  });

  const sizes = (process.env.KALDO_MAP_PAGE_TIMING ?? '10000,100000')
    .split(',').filter((s) => s.trim() !== '').map(Number);
  for (const size of sizes) {
    await check(`load time of ${size} points (reported)`, async () => {
      const timed = generate(`timed_${size}`, ['--points', String(size), '--units', '20']);
      const megabytes = fs.statSync(timed.page).size / 1e6;
      const loaded = await open(timed.url, 600000);
      assertEqual(problemsOnLoad(loaded.seen, DEFAULT_TILES), [], 'errors');
      const counted = await loaded.page.evaluate(() => {
        let points = 0;
        window.kaldoMap.eachLayer((layer) => {
          if (layer.options.kaldoKind === 'points') points += layer.getLatLngs().length;
        });
        return points;
      });
      assertEqual(counted, size, 'points drawn');
      console.log(`  ${size} points, ${megabytes.toFixed(1)} MB: drawn ${(loaded.readyMs / 1000).toFixed(2)} s ` +
        `after navigation start (${(loaded.wallMs / 1000).toFixed(2)} s as the test waited)`);
      await loaded.page.close();
      fs.rmSync(timed.page);
    });
  }
} catch (error) {
  fail(error.message);
} finally {
  await browser.close();
}

finish();
