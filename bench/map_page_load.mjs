// How long the map page takes to open and draw in headless Chromium, for
// pages of generated points; checks the goal: 100,000 points in under 5 s.
//
//   node bench/map_page_load.mjs MAKE_PAGE [SIZES] [RUNS]
//   cmake --build build --target map_page_load
//
// SIZES defaults to 10000,100000,1000000; each size is opened RUNS times
// (default 3, once for a million points and more) and the median reported.
// Times are from navigation start to the frame after the canvas drew; the
// page's main-thread busy time beside them (Chromium's TaskDuration) moves
// less with what else the machine runs.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

import { launch, missingPart, open } from '../tests/tool/browser/chromium.mjs';

const GOAL_POINTS = 100000;
const GOAL_MS = 5000;

const [makePage, sizesArg = '10000,100000,1000000', runsArg = '3'] = process.argv.slice(2);
if (!makePage) {
  console.error('usage: node bench/map_page_load.mjs MAKE_PAGE [SIZES] [RUNS]');
  process.exit(2);
}
const missing = await missingPart();
if (missing) {
  console.error(`map_page_load: ${missing}`);
  process.exit(1);
}

const sizes = sizesArg.split(',').map(Number);
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kaldo-map-load-'));
const browser = await launch();
let goalMissed = false;
try {
  console.log('points      page MB   median s   busy s   runs (s)');
  for (const size of sizes) {
    const page = path.join(dir, `${size}.html`);
    const made = spawnSync(makePage, ['--points', String(size), '--units', '20', '--out', page],
      { encoding: 'utf8' });
    if (made.status !== 0) throw new Error(`make_page: ${made.stderr}`);
    const megabytes = fs.statSync(page).size / 1e6;
    const runs = size >= 1000000 ? 1 : Number(runsArg);
    const times = [];
    const busy = [];
    for (let run = 0; run < runs; run++) {
      let cdp;
      const opened = await open(browser.context, pathToFileURL(page).href, 900000, async (tab) => {
        cdp = await browser.context.newCDPSession(tab);
        await cdp.send('Performance.enable');
      });
      times.push(opened.readyMs);
      const { metrics } = await cdp.send('Performance.getMetrics');
      busy.push(1000 * metrics.find((m) => m.name === 'TaskDuration').value);
      await opened.page.close();
    }
    fs.rmSync(page);
    const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
    console.log(`${String(size).padEnd(11)} ${megabytes.toFixed(1).padStart(7)}   ` +
      `${(median(times) / 1000).toFixed(2).padStart(8)}   ${(median(busy) / 1000).toFixed(2).padStart(6)}   ` +
      `${times.map((t) => (t / 1000).toFixed(2)).join(' ')}`);
    if (size === GOAL_POINTS && median(times) >= GOAL_MS) goalMissed = true;
  }
} finally {
  await browser.close();
  fs.rmSync(dir, { recursive: true, force: true });
}
if (goalMissed) {
  console.log(`goal missed: ${GOAL_POINTS} points should open and draw in under ${GOAL_MS / 1000} s`);
  process.exit(1);
}
