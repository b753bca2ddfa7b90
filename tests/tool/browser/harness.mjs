// A small test harness for the pages' browser tests: named checks, one
// line each ("ok - ..." or "not ok - ..." with the reason), and a closing
// count that ends the process.

let passed = 0;
let failed = 0;

export async function check(name, body) {
  try {
    await body();
    passed++;
    console.log(`ok - ${name}`);
  } catch (error) {
    failed++;
    console.log(`not ok - ${name}\n  ${String(error && error.stack || error).replace(/\n/g, '\n  ')}`);
  }
}

// A failure outside any check (the page or the browser would not start).
export function fail(message) {
  failed++;
  console.log(`not ok - ${message}`);
}

export function assert(condition, message) {
  if (!condition) throw new Error(message);
}

export function assertEqual(actual, expected, what) {
  const a = JSON.stringify(actual);
  const e = JSON.stringify(expected);
  if (a !== e) throw new Error(`${what}: got ${a.slice(0, 600)}, expected ${e.slice(0, 600)}`);
}

export function finish() {
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed ? 1 : 0);
}
