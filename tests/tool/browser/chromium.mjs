// Headless Chromium for the map page's test and its load-time benchmark:
// the Debian browser driven by playwright-core, a new empty profile, the
// network off, and a page opened until it says it has drawn.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

export const chromiumPath = process.env.KALDO_CHROMIUM || '/usr/bin/chromium';

// Why Chromium cannot be driven here, or null when it can.
export async function missingPart() {
  if (!fs.existsSync(chromiumPath)) return `no Chromium at ${chromiumPath} (Debian package chromium)`;
  try {
    await import('playwright-core');
  } catch {
    return 'playwright-core is not installed (tools/install-packages runs npm ci in tests/tool/browser)';
  }
  return null;
}

// `loopback`: the network is on for 127.0.0.1 only (a kaldo serve of the
// test's own) and files; everything else, map tiles included, is refused.
export async function launch({ loopback = false } = {}) {
  const { chromium } = await import('playwright-core');
  const userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'kaldo-chromium-'));
  const context = await chromium.launchPersistentContext(userDataDir, {
    executablePath: chromiumPath,
    headless: true,
    offline: !loopback,
    viewport: { width: 1000, height: 640 },
    // Without the background-networking flags Chromium's own connections
    // are refused many at a time, slowly.
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  if (loopback) await context.route((url) => url.protocol !== 'file:' && url.hostname !== '127.0.0.1',
    (route) => route.abort());
  return {
    context,
    async close() {
      await context.close();
      fs.rmSync(userDataDir, { recursive: true, force: true });
    },
  };
}

// Opens `url` and waits until the page says it has drawn (window.kaldoReady,
// milliseconds after navigation start); records what it asked the network
// for and what went wrong on the way. `beforeLoad(page)` runs before the
// page is asked for.
export async function open(context, url, timeoutMs = 30000, beforeLoad = async () => {}) {
  const page = await context.newPage();
  await beforeLoad(page);
  const seen = { requests: [], pageErrors: [], consoleErrors: [] };
  page.on('request', (request) => seen.requests.push(request.url()));
  page.on('pageerror', (error) => seen.pageErrors.push(String(error)));
  page.on('console', (message) => {
    if (message.type() === 'error') {
      seen.consoleErrors.push({ text: message.text(), url: message.location().url });
    }
  });
  // A script error means the page will never say it has drawn.
  const failed = new Promise((_, reject) => {
    page.on('pageerror', (error) => reject(new Error(`script error: ${error}`)));
  });
  failed.catch(() => {});
  const started = Date.now();
  try {
    await page.goto(url, { waitUntil: 'commit', timeout: timeoutMs });
    await Promise.race([failed, page.waitForFunction(() => window.kaldoReady !== undefined,
      null, { timeout: timeoutMs, polling: 50 })]);
  } catch (error) {
    await page.close();
    throw error;
  }
  const wallMs = Date.now() - started;
  const readyMs = await page.evaluate(() => window.kaldoReady);
  return { page, seen, wallMs, readyMs };
}
