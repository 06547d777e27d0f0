// The dashboard in a real browser with the real processes behind it:
// sim-publisher -> telemetry-relay -> relay-web -> Debian's chromium, headless.
// A plain TCP client reads the relay's stream beside the page, and what the
// page shows (gear, RPM, lit shift lights) must be what a row of that stream
// carried around the same moment. Then the publisher, the relay and relay-web
// are held or stopped in turn: the page must say so and recover by itself.
//
// Paths come from the environment (CTest sets them):
//   SIM_PUBLISHER, TELEMETRY_RELAY, RELAY_WEB   the executables
//   SCREENSHOT_DIR       where the two screenshots go (default: working dir)
//   DASHBOARD_DOCS_DIR   if set, the screenshots are copied there as well
//                        (scripts/screenshot.sh, for the README)
// It uses ports 6667 and 8667 and the simulator's object names, like the
// other process tests.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import path from "node:path";
import { setTimeout as sleep } from "node:timers/promises";
import { chromium } from "playwright-core";

const need = (name) => process.env[name] || assert.fail(`${name} is not set (run this through CTest)`);
const exe = { sim: need("SIM_PUBLISHER"), relay: need("TELEMETRY_RELAY"), web: need("RELAY_WEB") };
const outDir = process.env.SCREENSHOT_DIR || process.cwd();
const PAGE = "http://127.0.0.1:8667/";
const LAMPS = 10;

// ---- Processes ---------------------------------------------------------------

const running = new Map();
function start(name, args = []) {
  const log = fs.openSync(path.join(outDir, `browser-test-${name}.log`), "a");
  const child = spawn(exe[name], args, { stdio: ["ignore", log, log] });
  running.set(name, child);
  return child;
}
async function stop(name) {
  const child = running.get(name);
  running.delete(name);
  if (child.exitCode !== null || child.signalCode !== null) return;
  const exited = new Promise((resolve) => child.once("exit", resolve));
  child.kill("SIGTERM");
  child.kill("SIGCONT"); // a held publisher must run to take its SIGTERM
  await exited;
}
// Whatever happens to this test, no process of it outlives it.
process.on("exit", () => running.forEach((child) => child.kill("SIGKILL")));

function connect(port) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, "127.0.0.1");
    socket.once("connect", () => resolve(socket)).once("error", reject);
  });
}
async function connectWithRetry(port) {
  for (const until = Date.now() + 10000; ; await sleep(100)) {
    try {
      return await connect(port);
    } catch (e) {
      if (Date.now() > until) throw e;
    }
  }
}

// The relay's stream as a plain client sees it: every DATA_PACKET's gear and
// RPM with the time it arrived, and the last SESSION_INFO. A message begins at
// its keyword; a DATA_PACKET is whole at its sixteenth ';'.
async function relayStream() {
  const socket = await connectWithRetry(6667);
  const stream = { rows: [], session: null, close: () => socket.destroy() };
  let pending = "";
  socket.setEncoding("latin1").on("data", (chunk) => {
    const messages = (pending + chunk).split(/(?=DATA_PACKET|SESSION_INFO)/);
    pending = messages.pop();
    if (pending.startsWith("DATA_PACKET") && pending.split(";").length === 17) {
      messages.push(pending);
      pending = "";
    }
    for (const m of messages) {
      const f = m.split(";");
      if (f[0] === "DATA_PACKET") stream.rows.push({ at: Date.now(), gear: Number(f[3]), rpm: Number(f[5]) });
      if (f[0] === "SESSION_INFO") stream.session = { firstRpm: +f[1], lastRpm: +f[2], shiftRpm: +f[3] };
    }
  });
  for (const until = Date.now() + 5000; stream.session === null; await sleep(50)) {
    assert.ok(Date.now() < until, "no SESSION_INFO from the relay");
  }
  return stream;
}

// What the page must show for a row: -1 as R, 0 as N; lamp i lit from
// firstRpm + i * (lastRpm - firstRpm) / 9, all of them from shiftRpm on.
const gearText = (g) => (g < 0 ? "R" : g === 0 ? "N" : String(g));
function litLamps(rpm, s) {
  if (rpm < s.firstRpm) return 0;
  if (rpm >= s.shiftRpm) return LAMPS;
  return Math.min(LAMPS, 1 + Math.floor((rpm - s.firstRpm) / ((s.lastRpm - s.firstRpm) / (LAMPS - 1))));
}

// ---- The page ------------------------------------------------------------------

let browser, page;
const pageErrors = [];
const shown = () =>
  page.evaluate(() => {
    const get = (id) => document.querySelector(`[data-testid="${id}"]`);
    return { state: get("state").textContent, gear: get("gear").textContent, rpm: get("rpm").textContent,
             lit: Number(get("lamps").dataset.lit) };
  });
const waitForState = (state, timeout) =>
  page.waitForFunction((s) => document.querySelector('[data-testid="state"]').textContent === s, state, { timeout });

// Samples the page until the samples have covered several gears and shift-light
// counts (the simulated car pulls out of the pit lane and accelerates); each
// sample must equal a row the TCP client received from a second before it to
// just after it.
async function checkPageFollowsStream(stream, { minSamples, varied }) {
  const gears = new Set(), lits = new Set();
  const until = Date.now() + 60000;
  for (let n = 0; n < minSamples || (varied && (gears.size < 3 || lits.size < 4)); ++n) {
    assert.ok(Date.now() < until, `the page showed only gears ${[...gears]} and lamp counts ${[...lits]}`);
    const from = Date.now();
    const s = await shown();
    const to = Date.now();
    await sleep(250); // rows that reached the socket meanwhile are read by now
    assert.equal(s.state, "live");
    const matches = stream.rows.filter((r) => r.at >= from - 1000 && r.at <= to + 250 && gearText(r.gear) === s.gear &&
                                              String(r.rpm) === s.rpm && litLamps(r.rpm, stream.session) === s.lit);
    assert.ok(matches.length > 0, `page shows ${JSON.stringify(s)}; no row received around then carried that`);
    gears.add(s.gear);
    lits.add(s.lit);
  }
}

before(async () => {
  start("sim", ["--seed", "7"]);
  start("relay");
  start("web");
  await connectWithRetry(6667).then((s) => s.destroy());
  await connectWithRetry(8667).then((s) => s.destroy());
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    headless: true, // a fresh, temporary user-data-dir per launch
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  page = await browser.newPage({ viewport: { width: 390, height: 844 } });
  page.on("pageerror", (e) => pageErrors.push(String(e)));
  await page.goto(PAGE);
});

after(async () => {
  await browser?.close();
  for (const name of [...running.keys()]) await stop(name);
});

test("the page shows the gear, RPM and lit shift lights the stream carries", async () => {
  await waitForState("live", 10000);
  const stream = await relayStream();
  try {
    await checkPageFollowsStream(stream, { minSamples: 10, varied: true });
  } finally {
    stream.close();
  }
});

test('screenshots; a silent publisher shows "no telemetry"', async () => {
  // Hold the publisher while a few lamps are lit, so both pictures show one row.
  await page.waitForFunction(() => Number(document.querySelector('[data-testid="lamps"]').dataset.lit) >= 4,
                             null, { timeout: 30000 });
  running.get("sim").kill("SIGSTOP");
  const shots = [["portrait", 390, 844], ["landscape", 844, 390]];
  for (const [name, width, height] of shots) {
    await page.setViewportSize({ width, height });
    const file = path.join(outDir, `dashboard-${name}.png`);
    await page.screenshot({ path: file });
    if (process.env.DASHBOARD_DOCS_DIR) fs.copyFileSync(file, path.join(process.env.DASHBOARD_DOCS_DIR, path.basename(file)));
  }
  await waitForState("no telemetry", 4000);
  running.get("sim").kill("SIGCONT");
  await waitForState("live", 4000);
});

test('stopping the relay shows "relay offline"; restarting it recovers', async () => {
  await stop("relay");
  await waitForState("relay offline", 3000);
  start("relay");
  await waitForState("live", 10000);
  const stream = await relayStream();
  try {
    await checkPageFollowsStream(stream, { minSamples: 3 });
  } finally {
    stream.close();
  }
});

test('a hung relay-web shows "no telemetry", then "reconnecting"; a stopped one "reconnecting" at once', async () => {
  // A stopped process keeps its connections open and silent, like a link
  // that died without closing: the page must notice by itself.
  running.get("web").kill("SIGSTOP");
  await waitForState("no telemetry", 4000);
  await waitForState("reconnecting", 12000);
  running.get("web").kill("SIGCONT");
  await waitForState("live", 10000);

  await stop("web");
  await waitForState("reconnecting", 3000);
  start("web");
  await waitForState("live", 10000);
  assert.deepEqual(pageErrors, []);
});
