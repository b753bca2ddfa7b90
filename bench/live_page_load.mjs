// Opens two pages in turn in one headless Chromium, RUNS times each, and
// prints as JSON how long each took to draw (window.kaldoReady, from
// navigation start) and how many points it holds. serve_live_bench.py
// runs it on the static page and on the live page of the same points.
//
//   node bench/live_page_load.mjs STATIC_URL LIVE_URL [RUNS]
import { launch, missingPart, open } from '../tests/tool/browser/chromium.mjs';

const [staticUrl, liveUrl, runsArg = '5'] = process.argv.slice(2);
if (!staticUrl || !liveUrl) {
  console.error('usage: node bench/live_page_load.mjs STATIC_URL LIVE_URL [RUNS]');
  process.exit(2);
}
const missing = await missingPart();
if (missing) {
  console.error(`live_page_load: ${missing}`);
  process.exit(1);
}

// Both pages count their points the same way: every point layer's points.
const countPoints = () => {
  let points = 0;
  window.kaldoMap.eachLayer((layer) => {
    if (layer.options.kaldoKind === 'points') points += layer.getLatLngs().length;
  });
  return points;
};

const browser = await launch({ loopback: true });
const times = { static: [], live: [] };
const points = {};
try {
  // Taken in turn, so that whatever else the machine does falls on both.
  for (let run = 0; run < Number(runsArg); run++) {
    for (const [kind, url] of [['static', staticUrl], ['live', liveUrl]]) {
      const opened = await open(browser.context, url, 600000);
      times[kind].push(opened.readyMs);
      points[kind] = await opened.page.evaluate(countPoints);
      await opened.page.close();
    }
  }
} finally {
  await browser.close();
}
console.log(JSON.stringify({ times, points }));
