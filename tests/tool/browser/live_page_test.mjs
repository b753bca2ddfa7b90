// The live map of `kaldo serve` in a real headless Chromium: a receiver of
// the test's own on loopback, DirectIP messages sent to it while the page
// is open, and what the page then shows: new points and units, the
// emergency banner, one unit with ?unit=, nothing lost when the event
// stream breaks, the read token passed on to the page's own requests.
//
//   node live_page_test.mjs KALDO PYTHON WORK_DIR
//
// Without Chromium or playwright-core the test skips (exit 77), saying why;
// with CI=true it fails instead.
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { launch, missingPart, open as openPage } from './chromium.mjs';
import { assert, assertEqual, check, fail, finish } from './harness.mjs';

const [kaldo, python, workDir] = process.argv.slice(2);
if (!kaldo || !python || !workDir) {
  console.error('usage: node live_page_test.mjs KALDO PYTHON WORK_DIR');
  process.exit(2);
}
const missing = await missingPart();
if (missing) {
  console.log(`live page browser test: ${missing}`);
  if (process.env.CI === 'true') {
    console.log('CI=true: a missing part fails the test');
    process.exit(1);
  }
  console.log('skipped');
  process.exit(77);
}

const HERE = path.dirname(fileURLToPath(import.meta.url));
const SENDER = path.join(HERE, 'send_directip.py');
const TILES = /^https:\/\/tile\.openstreetmap\.org\//;
const EMERGENCY_RED = '#d40000';
const FIRST = '300234010000101';
const SECOND = '300234010000102';
const THIRD = '300234010000103';
const FOURTH = '300234010000104';
const TOKEN = 'live-page-read-token';
const BASE_TIME = 1715949005;  // 2024-05-17 12:30:05 UTC

fs.rmSync(workDir, { recursive: true, force: true });
fs.mkdirSync(workDir, { recursive: true });

const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// kaldo serve on the test's GeoPackage; ready once /healthz answers 200.
class Receiver {
  constructor(store, directipPort, httpPort, extra = []) {
    Object.assign(this, { store, directipPort, httpPort, extra, proc: null });
    this.log = path.join(workDir, 'serve.log');
  }

  get base() { return `http://127.0.0.1:${this.httpPort}`; }

  async start() {
    const log = fs.openSync(this.log, 'a');
    this.proc = spawn(kaldo, ['serve', '--store', this.store,
      '--directip', `127.0.0.1:${this.directipPort}`, '--http', `127.0.0.1:${this.httpPort}`,
      ...this.extra], { stdio: ['ignore', log, log] });
    fs.closeSync(log);
    let exited = null;
    this.proc.on('exit', (code) => { exited = code; });
    const headers = this.extra.includes('--read-token-file') ? { Authorization: `Bearer ${TOKEN}` } : {};
    for (let tries = 0; tries < 300; tries++) {
      if (exited !== null) throw new Error(`kaldo serve exited with ${exited}: ${this.logTail()}`);
      try {
        const answer = await fetch(`${this.base}/healthz`, { headers });
        if (answer.status === 200) return;
      } catch {
        // not listening yet
      }
      await sleep(100);
    }
    throw new Error(`kaldo serve did not answer /healthz in 30 s: ${this.logTail()}`);
  }

  async stop() {
    if (!this.proc || this.proc.exitCode !== null) return;
    const ended = new Promise((done) => this.proc.once('exit', done));
    this.proc.kill('SIGTERM');
    await Promise.race([ended, sleep(15000)]);
    if (this.proc.exitCode === null) this.proc.kill('SIGKILL');
  }

  logTail() {
    return fs.existsSync(this.log) ? fs.readFileSync(this.log, 'utf8').slice(-1500) : '';
  }
}

// Sends one DirectIP message of one report per point; returns the points
// as the receiver decodes them.
let momsn = 0;
let minute = 0;
function send(receiver, points) {
  const messages = points.map((p) => ({ imei: p.unit, momsn: ++momsn, time: BASE_TIME + 60 * ++minute,
    lat: p.lat, lon: p.lon, emergency: !!p.emergency }));
  const run = spawnSync(python, [SENDER, String(receiver.directipPort)],
    { input: JSON.stringify(messages), encoding: 'utf8' });
  if (run.status !== 0) throw new Error(`send_directip.py: ${run.stderr}`);
  const answers = JSON.parse(run.stdout);
  const refused = answers.filter((a) => !a.confirmed);
  if (refused.length) throw new Error(`${refused.length} messages not confirmed: ${receiver.logTail()}`);
  return answers.map((a) => a.point);
}

// Every problem a page reported: script errors, console errors other than
// refused map tiles, and refused event requests only while the test itself
// held the stream back.
function watch(page, state) {
  page.on('pageerror', (error) => state.problems.push(`script error: ${error}`));
  page.on('console', (message) => {
    if (message.type() !== 'error') return;
    const url = message.location().url || '';
    const text = message.text();
    if (TILES.test(url) || TILES.test(text)) return;
    if (state.holding && /\/events\?/.test(url + text)) return;
    state.problems.push(`console: ${text} (${url})`);
  });
}

async function openLive(url, state) {
  const opened = await openPage(browser.context, url, 30000, async (page) => watch(page, state));
  return opened;
}

// Everything the page holds for the test: its point count, legend rows,
// rings and emergency markers.
function liveState(page) {
  return page.evaluate(() => {
    const rings = [];
    const emergencies = [];
    window.kaldoMap.eachLayer((layer) => {
      if (layer.options.kaldoKind === 'last') {
        const f = layer.kaldoFeature;
        rings.push({ modem_id: f.properties.modem_id, time: f.properties.time,
          lat: f.geometry.coordinates[1], lon: f.geometry.coordinates[0] });
      } else if (layer.options.kaldoKind === 'emergencies') {
        layer.features.forEach((f) => emergencies.push({ modem_id: f.properties.modem_id,
          time: f.properties.time, fill: layer.options.fillColor }));
      }
    });
    const legend = [...document.querySelectorAll('#kaldo-legend li[data-unit]')].map((li) => ({
      id: li.querySelector('.kaldo-id').textContent,
      count: li.querySelector('.kaldo-count').textContent,
      swatch: li.querySelector('.kaldo-swatch').style.background !== '' }));
    return { count: window.kaldoLive.pointCount(), legend, rings, emergencies };
  });
}

function waitForCount(page, count, timeout = 20000) {
  return page.waitForFunction((n) => window.kaldoLive.pointCount() === n, count, { timeout, polling: 50 });
}

const near = (a, b) => Math.abs(a - b) < 1e-6;
const ringOf = (state, unit) => state.rings.find((r) => r.modem_id === unit);

const store = path.join(workDir, 'fleet.gpkg');
const ports = { directip: await freePort(), http: await freePort() };
let receiver = new Receiver(store, ports.directip, ports.http);
const browser = await launch({ loopback: true });
const state = { problems: [], holding: false };
try {
  await receiver.start();
  const stored = send(receiver, [{ unit: FIRST, lat: 51.5, lon: -0.12 }, { unit: FIRST, lat: 51.51, lon: -0.1 }]);
  let page;
  await check('the live page opens with the stored points', async () => {
    ({ page } = await openLive(`${receiver.base}/`, state));
    const shown = await liveState(page);
    assertEqual([shown.count, shown.legend], [2, [{ id: FIRST, count: '2 points', swatch: true }]],
      'points and legend');
  });
  if (!page) throw new Error('the live page did not open: the checks on it cannot run');
  let total = 2;

  // Each case sends points and then looks at what the page made of them.
  const arrivals = [
    { name: 'a point of a known unit joins it: count, legend, last known position',
      points: [{ unit: FIRST, lat: 51.52, lon: -0.08 }],
      expect: (shown, [p]) => {
        assertEqual(shown.legend[0].count, '3 points', 'legend count');
        const ring = ringOf(shown, FIRST);
        assert(ring && near(ring.lat, p.lat) && near(ring.lon, p.lon) && ring.time === p.time,
          `the ring is at ${JSON.stringify(ring)}, not at the new point ${JSON.stringify(p)}`);
      } },
    { name: 'a unit that reports for the first time appears in the legend',
      points: [{ unit: SECOND, lat: 48.85, lon: 2.35 }],
      expect: (shown) => {
        assertEqual(shown.legend.map((l) => l.id), [FIRST, SECOND], 'legend ids');
        assertEqual(shown.legend[1], { id: SECOND, count: '1 point', swatch: true }, 'new legend row');
        assert(ringOf(shown, SECOND), 'the new unit has no last known position');
      } },
    { name: 'an emergency report is drawn red and raises a banner',
      points: [{ unit: SECOND, lat: 48.8, lon: 2.4, emergency: true }],
      expect: async (shown, [p]) => {
        assertEqual(shown.emergencies, [{ modem_id: SECOND, time: p.time, fill: EMERGENCY_RED }],
          'emergency markers');
        await page.waitForSelector('#kaldo-banner .kaldo-alert', { timeout: 5000 });
        const text = await page.$eval('#kaldo-banner .kaldo-alert span', (s) => s.textContent);
        assertEqual(text, `Emergency: ${SECOND} at ${p.time.replace('T', ' ').slice(0, 19)} UTC, ` +
          `${p.lat.toFixed(5)}, ${p.lon.toFixed(5)}`, 'banner text');
      } },
  ];
  let emergency;
  for (const arrival of arrivals) {
    await check(arrival.name, async () => {
      const sent = send(receiver, arrival.points);
      total += sent.length;
      await waitForCount(page, total);
      await arrival.expect(await liveState(page), sent);
      if (sent[0].emergency) emergency = sent[0];
    });
  }

  await check('the banner zooms to the emergency, and goes when dismissed', async () => {
    assert(emergency, 'no emergency was shown');
    await page.evaluate(() => window.kaldoMap.setView([10, 10], 3, { animate: false }));
    await page.click('#kaldo-banner .kaldo-alert button:has-text("Zoom to it")');
    const view = await page.evaluate(() => {
      const c = window.kaldoMap.getCenter();
      return { lat: c.lat, lon: c.lng, zoom: window.kaldoMap.getZoom() };
    });
    assert(Math.abs(view.lat - emergency.lat) < 1e-4 && Math.abs(view.lon - emergency.lon) < 1e-4 &&
      view.zoom === 14, `the view is ${JSON.stringify(view)}, not the emergency at zoom 14`);
    await page.click('#kaldo-banner .kaldo-alert button:has-text("Dismiss")');
    assertEqual(await page.$$eval('#kaldo-banner .kaldo-alert', (a) => a.length), 0, 'alerts left');
  });

  // The stream is held back (its requests refused) while points arrive;
  // once let through, the page catches up from the last event it saw.
  const breaks = [
    { name: 'kaldoLive.reconnect(): points sent meanwhile arrive after it',
      unit: THIRD,
      drop: async () => page.evaluate(() => window.kaldoLive.reconnect()) },
    { name: 'kaldo serve restarted: the stream resumes from Last-Event-ID',
      unit: FOURTH,
      drop: async () => { await receiver.stop(); await receiver.start(); } },
  ];
  for (const broken of breaks) {
    await check(broken.name, async () => {
      state.holding = true;
      await page.route(/\/events\?/, (route) => route.abort());
      try {
        await broken.drop();
        const sent = send(receiver, [{ unit: FIRST, lat: 51.53, lon: -0.07 }, { unit: broken.unit, lat: 40.4, lon: -3.7 },
          { unit: SECOND, lat: 48.9, lon: 2.3, emergency: true }]);
        await sleep(1500);
        assertEqual(await page.evaluate(() => window.kaldoLive.pointCount()), total,
          'points while the stream was held back (the test did not break it)');
        await page.unroute(/\/events\?/);
        total += sent.length;
        await waitForCount(page, total, 15000);
        const shown = await liveState(page);
        assert(shown.legend.some((l) => l.id === broken.unit), `${broken.unit} is not in the legend`);
        const ring = ringOf(shown, SECOND);
        assert(ring.time === sent[2].time, `the last known position of ${SECOND} is ${ring.time}, not ${sent[2].time}`);
      } finally {
        await page.unroute(/\/events\?/);
        state.holding = false;
      }
      const matched = await (await fetch(`${receiver.base}/api/collections/positions/items?limit=1`)).json();
      assertEqual(total, matched.numberMatched, 'the page holds as many points as the store');
    });
  }

  await check('?unit= shows one unit and follows only it', async () => {
    const { page: one } = await openLive(`${receiver.base}/?unit=${SECOND}`, state);
    const before = await liveState(one);
    assertEqual(before.legend.map((l) => l.id), [SECOND], 'legend ids');
    const own = before.count;
    send(receiver, [{ unit: FIRST, lat: 51.54, lon: -0.06 }, { unit: SECOND, lat: 48.95, lon: 2.2 }]);
    total += 2;
    await waitForCount(one, own + 1);
    await waitForCount(page, total);
    const after = await liveState(one);
    assertEqual([after.count, after.legend.map((l) => l.id)], [own + 1, [SECOND]], 'points and legend');
    await one.close();
  });

  await check('no script errors, no console errors but refused map tiles', async () => {
    assertEqual(state.problems, [], 'problems');
  });
  await page.close();

  await receiver.stop();
  const tokenFile = path.join(workDir, 'read-token');
  fs.writeFileSync(tokenFile, `${TOKEN}\n`);
  receiver = new Receiver(store, ports.directip, ports.http, ['--read-token-file', tokenFile]);
  await receiver.start();
  await check('with --read-token-file, / and /events want the token', async () => {
    const answers = [];
    for (const route of ['/', '/events', `/?token=wrong`]) answers.push((await fetch(receiver.base + route)).status);
    assertEqual(answers, [401, 401, 401], 'statuses without the token');
  });
  await check('?token= is passed on to the page\'s own requests, after a reconnect too', async () => {
    const tokenState = { problems: [], holding: false };
    const { page: guarded, seen } = await openLive(`${receiver.base}/?token=${TOKEN}`, tokenState);
    const before = await guarded.evaluate(() => window.kaldoLive.pointCount());
    assertEqual(before, total, 'points of the page');
    send(receiver, [{ unit: THIRD, lat: 40.5, lon: -3.6 }]);
    await waitForCount(guarded, total + 1);
    await guarded.evaluate(() => window.kaldoLive.reconnect());
    send(receiver, [{ unit: THIRD, lat: 40.6, lon: -3.5 }]);
    total += 2;
    await waitForCount(guarded, total);
    const own = seen.requests.filter((url) => url.startsWith(receiver.base));
    assert(own.filter((url) => url.includes('/events')).length >= 2, `event requests: ${own}`);
    assertEqual(own.filter((url) => new URL(url).searchParams.get('token') !== TOKEN), [],
      'requests without the token');
    assertEqual(tokenState.problems, [], 'problems');
    await guarded.close();
  });
} catch (error) {
  fail(error.message);
} finally {
  await browser.close();
  await receiver.stop();
}

finish();
