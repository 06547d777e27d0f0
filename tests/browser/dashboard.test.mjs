// The dashboard in Debian's chromium, headless, on two pages. Behind the first
// are the real processes (sim-publisher -> telemetry-relay -> relay-web) and a
// plain TCP client of the relay beside it: with the publisher held, every tile
// must show the last row of that stream; held or stopped processes must show
// their state, and the page recover by itself. The second page's feed (/ws) is
// the test's own: chosen engine speeds, the variables and fuel plan of
// relay-web's newer sources, the Relative, the Standings and the Laps, states
// the processes cannot give yet. At phone, tablet and desktop sizes no tile or
// panel may be cut or overlap another.
//
// CTest sets SIM_PUBLISHER, TELEMETRY_RELAY and RELAY_WEB (the executables),
// SCREENSHOT_DIR (where the two screenshots go) and, from
// scripts/screenshot.sh, DASHBOARD_DOCS_DIR (where they are copied). It uses
// ports 6667 and 8667 and the simulator's object names, like the other
// process tests.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import path from "node:path";
import { setTimeout as sleep } from "node:timers/promises";
import { chromium } from "playwright-core";

const need = (name) => process.env[name] || assert.fail(`${name} is not set (run this through CTest)`);
const exe = { sim: need("SIM_PUBLISHER"), relay: need("TELEMETRY_RELAY"), web: need("RELAY_WEB"),
              mqtt: process.env.RELAY_MQTT, broker: process.env.MOSQUITTO };
const outDir = process.env.SCREENSHOT_DIR || process.cwd();
const PAGE = "http://127.0.0.1:8667/";
const WEB_ARGS = ["--relay", "127.0.0.1:6667"]; // relay-web reads the relay, not the simulator
const NEW_TILES = ["speed", "delta", "last-lap", "best-lap", "position", "class-position", "incidents"];

// ---- Processes ---------------------------------------------------------------

const running = new Map();
function start(name, args = []) {
  const log = fs.openSync(path.join(outDir, `browser-test-${name}.log`), "a");
  running.set(name, spawn(exe[name], args, { stdio: ["ignore", log, log] }));
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

async function connectWithRetry(port) {
  for (const until = Date.now() + 10000; ; await sleep(100)) {
    try {
      return await new Promise((resolve, reject) => {
        const socket = net.connect(port, "127.0.0.1").once("connect", () => resolve(socket)).once("error", reject);
      });
    } catch (e) {
      if (Date.now() > until) throw e;
    }
  }
}

// The relay's stream as a plain client sees it: the fields of the last
// DATA_PACKET and SESSION_INFO. A message begins at its keyword; a DATA_PACKET
// is whole at its sixteenth ';'.
async function relayStream() {
  const socket = await connectWithRetry(6667);
  const stream = { row: null, session: null, close: () => socket.destroy() };
  let pending = "";
  socket.setEncoding("latin1").on("data", (chunk) => {
    const messages = (pending + chunk).split(/(?=DATA_PACKET|SESSION_INFO)/);
    pending = messages.pop();
    if (pending.startsWith("DATA_PACKET") && pending.split(";").length === 17) messages.push(pending), (pending = "");
    for (const m of messages) stream[m.startsWith("DATA_PACKET") ? "row" : "session"] = m.split(";");
  });
  await settle(async () => stream.session !== null, true, 5000);
  return stream;
}

// Saves a picture of `p` as SCREENSHOT_DIR/NAME.png and, for
// scripts/screenshot.sh, in DASHBOARD_DOCS_DIR.
async function screenshot(p, name) {
  const file = path.join(outDir, `${name}.png`);
  await p.screenshot({ path: file });
  const docs = process.env.DASHBOARD_DOCS_DIR;
  if (docs) fs.copyFileSync(file, path.join(docs, path.basename(file)));
}

// ---- The pages -------------------------------------------------------------------

let browser, page, mocked;
const pageErrors = [];
// Every socket the mocked page opens gets the newest message of each type
// sent so far, as from relay-web; feed() sends on the newest.
const mock = { sockets: [], latest: new Map() };
function feed(...messages) {
  for (const m of messages) mock.latest.set(m.type, m), mock.sockets.at(-1)?.send(JSON.stringify(m));
}
// Then a row with an engine speed of its own: once the page shows it, it has
// drawn all that came before.
let rows = 0;
async function feedAndDraw(...messages) {
  const rpm = String(6400 + (++rows % 50));
  feed(...messages, { ...DATA, rpm: Number(rpm) });
  await settle(() => read(mocked, ["rpm"]), { rpm });
}

// What each element shows: null when it is not shown, else its text (a tile's
// value's); for the lamps how many are lit (coloured or flashing) and the cue
// (all blue, or flashing), for the delta bar its side and colour, for the fuel
// needed its colour too.
const read = (p, ids) =>
  p.evaluate((ids) => {
    const names = { "rgb(47, 220, 110)": "green", "rgb(255, 176, 32)": "amber", "rgb(255, 75, 75)": "red" };
    const colour = (e, property) => names[getComputedStyle(e)[property]] ?? "plain";
    const special = {
      lamps: (e) => {
        const seen = [...e.children].map((lamp) => getComputedStyle(lamp)), flash = (s) => s.animationName === "flash";
        const lit = seen.filter((s) => flash(s) || s.backgroundColor !== "rgb(27, 34, 44)").length;
        const blue = seen.some((s) => s.backgroundColor === "rgb(71, 163, 255)");
        return `${lit} ${seen.some(flash) ? "blink" : blue ? "shift" : "none"}`;
      },
      "delta-bar": (e) => {
        const bar = e.getBoundingClientRect(), track = e.parentNode.getBoundingClientRect();
        const side = bar.right < track.left + track.width / 2 + 1 ? "left" : "right";
        return bar.width < 1 ? "none" : `${side} ${colour(e, "backgroundColor")}`;
      },
      "fuel-need": (e) => `${e.textContent} ${colour(e, "color")}`,
    };
    return Object.fromEntries(ids.map((id) => {
      const e = document.querySelector(`[data-testid="${id}"]`);
      if (!e.checkVisibility()) return [id, null];
      return [id, special[id] ? special[id](e) : (e.querySelector(".value") ?? e).textContent];
    }));
  }, ids);
// Polls until `get` gives `want`, then compares once more to show a difference.
async function settle(get, want, timeout = 3000) {
  for (const until = Date.now() + timeout; Date.now() < until; await sleep(50)) {
    try {
      return assert.deepEqual(await get(), want);
    } catch (e) {}
  }
  assert.deepEqual(await get(), want);
}
const waitForState = (state, timeout, p = page) => settle(() => read(p, ["state"]), { state }, timeout);

// A panel's rows as a user reads them: the texts of the columns shown, joined
// by "|"; "> " before the player's row; the driver's colour when it is not
// plain (blue: a car the player is lapping, red: one lapping the player).
const boardRows = (p, id) =>
  p.evaluate((id) => [...document.querySelectorAll(`[data-testid="${id}"] tbody tr`)].filter((r) => !r.hidden).map((r) => {
    const cells = [...r.cells].filter((c) => getComputedStyle(c).display !== "none").map((c) => c.textContent);
    const colour = { "rgb(71, 163, 255)": " blue", "rgb(255, 75, 75)": " red" }[getComputedStyle(r.querySelector(".name")).color] ?? "";
    return (r.getAttribute("aria-current") === "true" ? "> " : "") + cells.join("|") + colour;
  }), id);

// What a user would call cut or overlapping: a box off the screen or over its
// neighbour, a text out of its box or over another; and a gear that is not
// the largest figure. A text's width is its characters', its height its line's.
// In the panels' tables every text but a name (cut short by design) must fit
// its cell, in the rows scrolled into sight.
const layoutFaults = (p) =>
  p.evaluate(() => {
    const faults = [], name = (e) => e.dataset.testid || e.id || e.className || e.textContent;
    const shown = (e) => e.checkVisibility() && e.getClientRects().length > 0;
    const over = (a, b) => Math.min(a.right, b.right) - Math.max(a.left, b.left) > 0.5 &&
                           Math.min(a.bottom, b.bottom) - Math.max(a.top, b.top) > 0.5;
    const within = (a, b) => a.left > b.left - 0.5 && a.right < b.right + 0.5 &&
                             a.top > b.top - 0.5 && a.bottom < b.bottom + 0.5;
    const box = (e) => e.getBoundingClientRect();
    const extent = (e) => {
      const range = document.createRange();
      range.selectNodeContents(e);
      const { left, right } = range.getBoundingClientRect();
      return { left, right, top: box(e).top, bottom: box(e).bottom };
    };
    const boxes = [...document.querySelectorAll("#app > *, #tabs > *, .top > *, #lamps, .lamp, .panel, .gear-box, .speed, .cell")];
    const inSight = (t) => !t.closest(".scroll") || within(box(t), box(t.closest(".scroll")));
    const texts = [...document.querySelectorAll("main [data-testid], main .label, .board .label, .board .note, .board th, .board td:not(.name)")]
      .filter((e) => e.textContent.trim() && inSight(e));
    const screen = { left: 0, top: 0, right: innerWidth, bottom: innerHeight };
    for (const a of boxes.filter(shown)) if (!within(box(a), screen)) faults.push(`${name(a)} is off the screen`);
    for (const s of [...document.querySelectorAll(".scroll")].filter(shown)) {
      if (s.scrollWidth > s.clientWidth) faults.push(`${name(s.closest(".panel"))} is wider than its panel`);
    }
    // A table cell cuts its text short ("+21\u2026") as soon as it passes the
    // padding: its content box, with 0.05 px for rounding (not within()'s 0.5).
    const inner = (e) => {
      const { left, right, top, bottom } = box(e), style = getComputedStyle(e);
      return { left: left + parseFloat(style.paddingLeft) + 0.45, right: right - parseFloat(style.paddingRight) - 0.45, top, bottom };
    };
    const around = (t) => {
      const e = t.closest("td, th, .cell, .tile, .speed, .gear-box, .panel, .top");
      return e.matches("td, th") ? inner(e) : box(e);
    };
    for (const t of texts.filter(shown)) if (!within(extent(t), around(t))) faults.push(`${name(t)} is cut`);
    for (const [list, rect, near] of [[boxes, box, (a, b) => a.parentNode === b.parentNode],
                                      [texts, extent, (a, b) => !a.contains(b)]]) {
      const seen = list.filter(shown);
      for (const [i, a] of seen.entries()) {
        for (const b of seen.slice(i + 1)) {
          if (near(a, b) && over(rect(a), rect(b))) faults.push(`${name(a)} overlaps ${name(b)}`);
        }
      }
    }
    const size = (e) => parseFloat(getComputedStyle(e).fontSize), gear = document.querySelector('[data-testid="gear"]');
    for (const t of texts.filter(shown)) {
      if (shown(gear) && t !== gear && size(t) >= size(gear)) faults.push(`${name(t)} is as large as the gear`);
    }
    return faults;
  });

before(async () => {
  start("sim", ["--seed", "7"]);
  start("relay");
  start("web", WEB_ARGS);
  await connectWithRetry(6667).then((s) => s.destroy());
  await connectWithRetry(8667).then((s) => s.destroy());
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    headless: true, // a fresh, temporary user-data-dir per launch
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  page = await browser.newPage({ viewport: { width: 390, height: 844 } });
  const context = await browser.newContext({ viewport: { width: 390, height: 844 } });
  await context.routeWebSocket(/\/ws(\?|$)/, (ws) => {
    mock.sockets.push(ws);
    mock.latest.forEach((m) => ws.send(JSON.stringify(m)));
  });
  mocked = await context.newPage();
  for (const p of [page, mocked]) p.on("pageerror", (e) => pageErrors.push(String(e)));
  feed({ type: "status", relay: "connected" }, SESSION, DATA);
  await page.goto(PAGE);
  await mocked.goto(PAGE);
});

after(async () => {
  await browser?.close();
  for (const name of [...running.keys()]) await stop(name);
});

// ---- The mocked feed ------------------------------------------------------------------

const SESSION = { type: "session", firstRpm: 5500, lastRpm: 7100, shiftRpm: 6900, blinkRpm: 7250, carPath: "bmwm4gt3" };
const DATA = { type: "data", oilTemp: 98.25, waterTemp: 86.5, gear: 4, fuelLevel: 61.35, rpm: 6480,
               lapDistPct: 0.42, fuelLevelPct: 0.51, lapDist: 2930.4, lap: 7, raceLaps: 6, sessionLapsRemain: 14,
               sessionTimeRemain: 5025.6, onPitRoad: false, throttle: 0.58, isOnTrack: true };
const VARS = { Speed: 52.3, LapDeltaToBestLap: -0.347, LapDeltaToBestLap_OK: true, LapLastLapTime: 138.457,
               LapBestLapTime: 137.912, PlayerCarPosition: 3, PlayerCarClassPosition: 2, PlayerCarMyIncidentCount: 4 };
const STRATEGY = { type: "strategy", fuelPerLap: 2.854, fuelPerLapMax: 2.91, lapsCounted: 5, lastLapFuel: 2.86,
                   lastLapTime: 138.457, avgLapTime: 138.2, tank: 120, lapsOfFuel: 21.5, lapsToGo: 13.58,
                   fuelToFinish: 40.2, fuelToAdd: 0, stops: 0, fuelMargin: 0.5 };
// Two classes, GT4's without a colour of its own; the player (GT4) a lap down,
// lapped by the leaders, lapping one; one car in the pits, one not on track;
// a name with markup in it.
const car = (number, name, cls, more) =>
  ({ number, name, class: cls, classColor: cls === "GT3" ? "#ffda59" : null, onPitRoad: false, isPlayer: false, ...more });
const STANDINGS = { type: "standings", sessionTime: 1834.52, sessionType: "Race", cars: [
  car("12", "Lena Fast", "GT3", { position: 1, classPosition: 1, gapToLeader: 0, lapsDown: 0, interval: 0, lastLap: 118.204, bestLap: 117.911, pitStops: 1, inWorld: true }),
  car("23", "Sam Driver", "GT3", { position: 2, classPosition: 2, gapToLeader: 4.26, lapsDown: 0, interval: 4.26, lastLap: 119.9996, bestLap: 118.05, pitStops: 1, inWorld: true }),
  car("7", "Ana Lopez", "GT4", { position: 3, classPosition: 1, gapToLeader: 131.4, lapsDown: 1, interval: 67.14, lastLap: 125.5, bestLap: 124.999, pitStops: 0, inWorld: true, isPlayer: true }),
  car("41", "<b>Tom</b>", "GT4", { position: 4, classPosition: 2, gapToLeader: 140.02, lapsDown: 1, interval: 8.62, lastLap: null, bestLap: 125.3, pitStops: 2, inWorld: true, onPitRoad: true }),
  car("88", "Bo Slow", "GT4", { position: 5, classPosition: 3, gapToLeader: 250.5, lapsDown: 2, interval: 110.48, lastLap: 131, bestLap: 129.4, pitStops: 1, inWorld: true }),
  car("9", "Kai Gone", "GT3", { position: 6, classPosition: 3, gapToLeader: null, lapsDown: 0, interval: null, lastLap: null, bestLap: 119.5, pitStops: 0, inWorld: false }),
] };
const RELATIVE = { type: "relative", sessionTime: 1834.52, cars: [
  car("23", "Sam Driver", "GT3", { gap: 3.04, laps: 1 }),
  car("7", "Ana Lopez", "GT4", { gap: 0, laps: 0, isPlayer: true }),
  car("41", "<b>Tom</b>", "GT4", { gap: -0.36, laps: 0, onPitRoad: true }),
  car("88", "Bo Slow", "GT4", { gap: -1.84, laps: -1 }),
  car("12", "Lena Fast", "GT3", { gap: null, laps: 1 }),
] };
const vars = (values) => ({ type: "vars", tick: 1, values: { ...VARS, ...values } });
// A source that does not publish the names (the relay, an older recording).
const UNKNOWN = { type: "vars", tick: 1, values: {}, unknown: Object.keys(VARS) };
// Laps and stops as relay-web sends them, of one session.
const lapOf = (lap, driver, more) => ({ type: "lap", session: "81234567/2", lap, driver, time: 118.204, fuelUsed: 3.31, pit: false,
                                        caution: false, counted: true, position: 4, classPosition: 2, incidents: 0, ...more });
const pitOf = (lap, driver, fuelAdded) => ({ type: "pit", session: "81234567/2", lap, driver, pitIn: 1700 + lap * 118, fuelAdded });
// relay-web's log: Sam's laps 10 to 13 with a drive-through on 11 (no fuel:
// the stint goes on), a lap under caution and a stop with fuel on 13; after
// it Sam's out lap, a stint of its own.
const LOG = { type: "log", session: "81234567/2", pits: [pitOf(11, "Sam Driver", 0), pitOf(13, "Sam Driver", 41.2)], laps: [
  lapOf(10, "Sam Driver"), lapOf(11, "Sam Driver", { time: 119.5, fuelUsed: 3.41, pit: true }),
  lapOf(12, "Sam Driver", { time: 125, fuelUsed: 2.1, caution: true, counted: false }),
  lapOf(13, "Sam Driver", { time: 150.9, fuelUsed: null, pit: true, counted: false, position: 5, classPosition: 3 }),
  lapOf(14, "Sam Driver", { time: 151, fuelUsed: null, pit: true, counted: false, position: null, classPosition: null })] };
// relay-log's log of the same race, compact: each lap and stop an array in
// the order of its fields, the driver an index into its drivers.
const COMPACT_LOG = { type: "log", session: "81234567/2", drivers: ["Sam Driver", "Alex Other"],
  lapFields: ["lap", "driver", "time", "fuelUsed", "pit", "caution", "counted", "position", "classPosition", "incidents", "sessionTime"],
  laps: [[12, 0, 118.204, 3.31, false, false, true, 4, 2, 0, 1834.52], [13, 0, 150.9, null, true, false, false, 4, 2, 0, 1985.42],
         [14, 1, 119.1, 3.3, false, false, true, 5, 3, 0, 2104.52]],
  pitFields: ["lap", "driver", "pitIn", "pitOut", "stationary", "fuelAdded"], pits: [[13, 0, 1950.1, 1992.7, 27.4, 41.2]],
  stints: [{ driver: "Sam Driver", firstLap: 12, lastLap: 13, laps: 2, avgLap: 118.204, fuelPerLap: 3.31 },
           { driver: "Alex Other", firstLap: 14, lastLap: 14, laps: 1, avgLap: 119.1, fuelPerLap: 3.3 }] };
// Laps as wide as they come: four-digit lap numbers, a long name, both flags, P64.
const LONG_LOG = { type: "log", session: "81234567/4", pits: [], laps: Array.from({ length: 40 }, (_, i) =>
  lapOf(1000 + i, i < 20 ? "Sam Driver" : "Alexandra Other-Longname", { session: "81234567/4", time: 599.999, fuelUsed: 12.34,
                                                                      pit: i % 2 === 1, caution: i % 2 === 1, counted: i % 2 === 0, position: 64, classPosition: 64 })) };

test("the page asks for its variables; rows at chosen RPMs light the lamps and cue; every tile's text", async () => {
  assert.equal(mock.sockets[0].url(), "ws://127.0.0.1:8667/ws?vars=Speed,LapDeltaToBestLap,LapDeltaToBestLap_OK," +
               "LapLastLapTime,LapBestLapTime,PlayerCarPosition,PlayerCarClassPosition,PlayerCarMyIncidentCount");
  // Lamp i lights at 5500 + i * 1600 / 9, all at 6900 (blue), flashing at 7250;
  // the gear goes round reverse, neutral and two forward gears meanwhile.
  const table = [[0, "0 none"], [5499, "0 none"], [5500, "1 none"], [5677, "1 none"], [5678, "2 none"],
                 [6211, "4 none"], [6212, "5 none"], [6744, "7 none"], [6745, "8 none"], [6899, "8 none"],
                 [6900, "10 shift"], [7249, "10 shift"], [7250, "10 blink"], [9000, "10 blink"]];
  const gears = [[-1, "R"], [0, "N"], [1, "1"], [7, "7"]];
  for (const [i, [rpm, lamps]] of table.entries()) {
    feed({ ...DATA, gear: gears[i % 4][0], rpm });
    await settle(() => read(mocked, ["gear", "rpm", "lamps"]), { gear: gears[i % 4][1], rpm: String(rpm), lamps });
  }
  const other = { car: "bmwm4gt3", oil: "98.3°C", water: "86.5°C", fuel: "61.4L", "fuel-pct": "51 %", lap: "7",
                  "lap-pos": "42 % of lap", "laps-left": "14", "time-left": "1:23:45", pit: "no", track: "ON",
                  throttle: "58 %" };
  assert.deepEqual(await read(mocked, Object.keys(other)), other);
});

test("the new tiles and the fuel panel show the variables and the plan; absent ones are not drawn", async () => {
  const ids = [...NEW_TILES, "delta-bar", "fuel-per-lap", "fuel-laps-counted", "laps-of-fuel", "laps-to-go",
               "fuel-need-label", "fuel-need", "stops", "tank", "fuel-now", "fuel-wait"];
  const none = Object.fromEntries(ids.map((id) => [id, null]));
  const tiles = { speed: "188km/h", delta: "\u22120.35", "delta-bar": "left green", "last-lap": "2:18.457",
                  "best-lap": "2:17.912", position: "P3", "class-position": "class P2", incidents: "4x" };
  const plan = { "fuel-per-lap": "2.85L", "fuel-laps-counted": "over 5 laps", "laps-of-fuel": "21.5",
                 "laps-to-go": "13.6", "fuel-need-label": "To finish", "fuel-need": "40.2L green", stops: "0" };
  for (const [messages, want] of [
    // Names the source does not publish, left out or null; no plan yet.
    [[UNKNOWN], none],
    [[{ ...UNKNOWN, values: Object.fromEntries(Object.keys(VARS).map((name) => [name, null])) }], none],
    [[vars({}), STRATEGY], { ...none, ...tiles, ...plan }],
    [[vars({ Speed: 0, LapDeltaToBestLap: 0.126, LapLastLapTime: 119.9996, LapBestLapTime: 59.0004,
             PlayerCarPosition: 0, PlayerCarClassPosition: 0, PlayerCarMyIncidentCount: 0 }),
      { ...STRATEGY, lapsCounted: 1, fuelToAdd: 2.854, fuelToFinish: 64.2, stops: 1 }],
     { ...none, speed: "0km/h", delta: "+0.13", "delta-bar": "right red", "last-lap": "2:00.000",
       "best-lap": "0:59.000", position: "-", "class-position": "class -", incidents: "0x", ...plan,
       "fuel-laps-counted": "over 1 lap", "fuel-need-label": "To add", "fuel-need": "2.9L amber", stops: "1" }],
    // An invalid delta, no lap times yet; short by more than a lap's fuel.
    [[vars({ LapDeltaToBestLap_OK: false, LapLastLapTime: -1, LapBestLapTime: 0 }), { ...STRATEGY, fuelToAdd: 2.9 }],
     { ...none, ...tiles, delta: "-", "delta-bar": "none", "last-lap": "-", "best-lap": "-", ...plan,
       "fuel-need-label": "To add", "fuel-need": "2.9L red" }],
    // Before a lap has counted: the tank, the fuel in it and when the rest comes.
    [[vars({}), { ...STRATEGY, lapsCounted: 0, fuelPerLap: null, lapsOfFuel: null, fuelToFinish: null,
                  fuelToAdd: null }],
     { ...none, ...tiles, tank: "120.0L", "fuel-now": "61.4L", "fuel-wait": "after one green lap" }],
  ]) {
    await feedAndDraw(...messages);
    await settle(() => read(mocked, ids), want);
  }
  // The speed unit follows a tap, and the browser remembers it.
  for (const [reload, want] of [[false, "117mph"], [true, "117mph"], [false, "188km/h"]]) {
    await (reload ? mocked.reload() : mocked.getByTestId("speed").click());
    await settle(() => read(mocked, ["speed"]), { speed: want });
  }
});

test("the Relative and the Standings: order, the player's row, gaps to a tenth, markers; a phone's tabs", async () => {
  await mocked.setViewportSize({ width: 1280, height: 800 });
  await feedAndDraw({ type: "status", source: "simulator", simulator: "running" }, STANDINGS, RELATIVE);
  assert.deepEqual(await boardRows(mocked, "relative"), [
    "GT3|23|Sam Driver|+1L|+3.0 red", "> GT4|7|Ana Lopez||", "GT4|41|<b>Tom</b>|PIT|\u22120.4",
    "GT4|88|Bo Slow|\u22121L|\u22121.8 blue", "GT3|12|Lena Fast|+1L|- red"]);
  assert.deepEqual(await boardRows(mocked, "standings"), [
    "1|1|12|Lena Fast|Leader||1:58.204|1:57.911|1|", "2|2|23|Sam Driver|+4.3|+4.3|2:00.000|1:58.050|1|",
    "> 3|1|7|Ana Lopez|+1L|+1:07.1|2:05.500|2:04.999|0|", "4|2|41|<b>Tom</b>|+1L|+8.6|-|2:05.300|2|PIT",
    "5|3|88|Bo Slow|+2L|+1:50.5|2:11.000|2:09.400|1|", "6|3|9|Kai Gone|-|-|-|1:59.500|0|OFF"]);
  // The simulator's colour for GT3, one of the page's own for GT4.
  const chips = await mocked.evaluate(() =>
    [...document.querySelectorAll('[data-testid="standings"] .chip')].map((c) => getComputedStyle(c).backgroundColor));
  const [gt3, gt4] = [chips[0], chips[2]];
  assert.deepEqual(chips, [gt3, gt3, gt4, gt4, gt4, gt3]);
  assert.equal(gt3, "rgb(255, 218, 89)");
  assert.ok(gt4 !== gt3 && /^rgb\(/.test(gt4), gt4);

  // A phone shows one view at a time, chosen by its tab.
  const views = ["gear", "relative-panel", "standings-panel", "laps-panel"];
  await mocked.setViewportSize({ width: 390, height: 844 });
  for (const [tab, shown] of [["Relative", "relative-panel"], ["Standings", "standings-panel"], ["Laps", "laps-panel"], ["Dash", "gear"]]) {
    await mocked.getByRole("tab", { name: tab }).click();
    const seen = await read(mocked, views);
    assert.deepEqual(views.filter((id) => seen[id] !== null), [shown], tab);
  }
  // Reading a relay, relay-web has none: what came before goes, the panels say why.
  await feedAndDraw({ type: "status", source: "relay", relay: "connected" });
  assert.deepEqual(await boardRows(mocked, "standings"), []);
  feed({ type: "status", source: "simulator", simulator: "running" }, STANDINGS, RELATIVE);
});

test("the Laps: the log, then each lap, newest first; flags; stints by driver and by stops with fuel; a new session", async () => {
  await feedAndDraw(LOG);
  const laps = ["14|Sam Driver|2:31.000|-|PIT|-|-", "13|Sam Driver|2:30.900|-|PIT|P5|P3",
                "12|Sam Driver|2:05.000|2.10|YEL|P4|P2", "11|Sam Driver|1:59.500|3.41|PIT|P4|P2",
                "10|Sam Driver|1:58.204|3.31||P4|P2"];
  const stints = ["Sam Driver|14|1|-|-", "Sam Driver|10\u201313|4|1:58.852|3.36"];
  assert.deepEqual(await boardRows(mocked, "laps"), laps);
  assert.deepEqual(await boardRows(mocked, "stints"), stints);
  // Another driver's lap starts a stint; a lap that comes again replaces its row.
  await feedAndDraw(lapOf(15, "Alex Other", { time: 119.1, fuelUsed: 3.3 }), lapOf(10, "Sam Driver", { fuelUsed: 3.29 }));
  assert.deepEqual(await boardRows(mocked, "laps"), ["15|Alex Other|1:59.100|3.30||P4|P2", ...laps.slice(0, 4),
                                                     "10|Sam Driver|1:58.204|3.29||P4|P2"]);
  assert.deepEqual(await boardRows(mocked, "stints"), ["Alex Other|15|1|1:59.100|3.30", stints[0],
                                                       "Sam Driver|10\u201313|4|1:58.852|3.35"]);
  // The log again (a new socket's): its laps replace theirs, a newer lap stays. Another session starts afresh.
  await feedAndDraw(LOG);
  assert.deepEqual(await boardRows(mocked, "laps"), ["15|Alex Other|1:59.100|3.30||P4|P2", ...laps]);
  await feedAndDraw(lapOf(1, "Alex Other", { session: "81234567/3", time: null, fuelUsed: null, counted: false }));
  assert.deepEqual(await boardRows(mocked, "laps"), ["1|Alex Other|-|-|NC|P4|P2"]);
  assert.deepEqual(await boardRows(mocked, "stints"), ["Alex Other|1|1|-|-"]);
});

test("at each size every tile and panel is whole, with and without the new ones, in each tab", async () => {
  // The processes send no variables, no plan and no standings; the mocked
  // feed every tile and panel filled in, then the plan before its first lap
  // without the variables.
  await waitForState("live", 10000);
  for (const [state, p, messages] of [["relay", page, []], ["full", mocked, [vars({}), STRATEGY, LONG_LOG]],
                                      ["before a lap", mocked, [UNKNOWN, { ...STRATEGY, lapsCounted: 0 }]]]) {
    for (const [name, width, height] of [["portrait", 390, 844], ["landscape", 844, 390], ["tablet", 820, 1180],
                                         ["desktop", 1280, 800]]) {
      await p.setViewportSize({ width, height });
      if (p === mocked) await feedAndDraw(...messages);
      await waitForState("live", 3000, p);
      const tabs = await p.evaluate(() => [...document.querySelectorAll("[role=tab]")].filter((t) => t.checkVisibility())
                                                .map((t) => t.textContent));
      // Each tab, back to the dashboard last; a wide screen has none.
      for (const tab of tabs.length ? [...tabs.slice(1), tabs[0]] : ["no tabs"]) {
        if (tabs.length) await p.getByRole("tab", { name: tab }).click();
        assert.deepEqual(await layoutFaults(p), [], `${state}, ${name} ${width}x${height}, ${tab}`);
      }
    }
  }
  const why = "relay-web reading the simulator directly; this one reads a relay.";
  assert.deepEqual(await read(page, ["relative-note", "standings-note", "laps-note"]),
                   { "relative-note": `The relative needs ${why}`, "standings-note": `Standings need ${why}`, "laps-note": `Laps need ${why}` });
});

test("the page reconnects once when shown again, not when hidden; it names the simulator as the source", async () => {
  for (const pair of [[["hidden", "visibilitychange"], ["visible", "visibilitychange"]],
                      [["visible", "pageshow", false], ["visible", "pageshow", true]]]) {
    const sockets = mock.sockets.length;
    for (const event of pair) {
      await mocked.evaluate(([visibility, type, persisted]) => {
        Object.defineProperty(document, "visibilityState", { value: visibility, configurable: true });
        if (type === "pageshow") window.dispatchEvent(new PageTransitionEvent(type, { persisted }));
        else document.dispatchEvent(new Event(type));
      }, event);
    }
    await settle(async () => mock.sockets.length - sockets, 1);
    await sleep(300);
    assert.equal(mock.sockets.length - sockets, 1, JSON.stringify(pair));
    await waitForState("live", 3000, mocked);
  }
  feed({ type: "status", source: "simulator", simulator: "not running" });
  await waitForState("simulator not running", 3000, mocked);
  feed({ type: "status", source: "simulator", simulator: "running" }, DATA);
  await waitForState("live", 3000, mocked);
});

test('through a broker the page logs in, subscribes under its topic and draws what comes; "driver offline"', async () => {
  // mqtt.min.js as a stand-in that keeps the client it makes, for the test to play the broker with.
  const FAKE_MQTT = `window.mqtt = { connect: (url, options) => (window.client = { url, options, topics: [], handlers: {},
    on(event, handler) { this.handlers[event] = handler; }, subscribe(topics) { this.topics.push(...topics); }, end() {} }) };`;
  await mocked.context().route("**/mqtt.min.js", (route) => route.fulfill({ contentType: "text/javascript", body: FAKE_MQTT }));
  const p = await mocked.context().newPage(), bare = await browser.newPage();
  p.on("dialog", (dialog) => dialog.accept("secret"));
  for (const tab of [p, bare]) tab.on("pageerror", (e) => pageErrors.push(String(e)));
  for (const [query, login] of [["?broker=wss://broker.test:8884/mqtt&topic=team/car42&username=ann",
                                 ["wss://broker.test:8884/mqtt", "ann", "secret"]],
                                ["?topic=team/car42", ["ws://127.0.0.1:8667/", null, null]]]) {
    await p.goto(PAGE + query);
    await settle(() => p.evaluate(() => [client.url, client.options.username ?? null, client.options.password ?? null]), login);
    await p.evaluate(() => client.handlers.connect());
    assert.deepEqual(await p.evaluate(() => client.topics),
                     ["status", "session", "strategy", "data", "vars", "standings", "relative", "log", "lap", "pit", "bridge"]
                       .map((t) => `team/car42/${t}`));
    for (const [name, message, state] of [["bridge", "online", "connecting"], ["status", { type: "status", relay: "connected" }, "no telemetry"],
                                          ["data", DATA, "live"], ["bridge", "offline", "driver offline"]]) {
      const text = typeof message === "string" ? message : JSON.stringify(message);
      await p.evaluate(([name, text]) => client.handlers.message(`team/car42/${name}`, new TextEncoder().encode(text)), [name, text]);
      await waitForState(state, 3000, p);
    }
    assert.deepEqual(await read(p, ["gear", "rpm"]), { gear: "4", rpm: "6480" });
  }
  // relay-web serves no mqtt.min.js; a broker must be ws: or wss:, a topic have no wildcards.
  for (const [query, state] of [["?topic=team/car42", "no mqtt.min.js"], ["?broker=http://b.test&topic=t", "bad broker or topic"],
                                ["?broker=ws://b.test&topic=team/%23", "bad broker or topic"]]) {
    await bare.goto(PAGE + query);
    await waitForState(state, 3000, bare);
  }
  await Promise.all([p.close(), bare.close()]);
});

// ---- The real processes -------------------------------------------------------------

test('with the publisher held every tile shows the last row of the stream, then "no telemetry", dimmed', async () => {
  await waitForState("live", 10000);
  const stream = await relayStream();
  await settle(async () => Number(stream.row?.[3]) >= 2, true, 30000); // the car is under way
  running.get("sim").kill("SIGSTOP");
  try {
    await sleep(500); // the rows on their way have arrived
    stream.close();
    const f = stream.row, n = (i) => Number(f[i]), pad = (v) => String(Math.floor(v)).padStart(2, "0");
    const want = {
      car: stream.session[5], gear: f[3], rpm: f[5], oil: `${n(1).toFixed(1)}°C`, water: `${n(2).toFixed(1)}°C`,
      fuel: `${n(4).toFixed(1)}L`, "fuel-pct": `${Math.round(n(7) * 100)} %`, lap: f[9],
      "lap-pos": `${Math.round(n(6) * 100)} % of lap`, "laps-left": f[11],
      "time-left": `${Math.floor(n(12) / 3600)}:${pad((n(12) / 60) % 60)}:${pad(n(12) % 60)}`,
      pit: f[13] === "1" ? "PIT" : "no", throttle: `${Math.round(n(14) * 100)} %`, track: f[15] === "1" ? "ON" : "OFF",
      // The relay has none of the other variables: none of the new tiles.
      ...Object.fromEntries(NEW_TILES.map((id) => [id, null])),
    };
    await settle(() => read(page, Object.keys(want)), want);
    // The opacity they are drawn with: every box's around them (display: contents has none).
    const opacity = () => page.evaluate(() => ["gear", "rpm", "oil", "lamps"].map((id) => {
      let o = 1;
      for (let e = document.querySelector(`[data-testid="${id}"]`); e; e = e.parentElement) {
        if (getComputedStyle(e).display !== "contents") o *= getComputedStyle(e).opacity;
      }
      return o;
    }).join(" "));
    assert.equal(await opacity(), "1 1 1 1");
    await waitForState("no telemetry", 4000);
    assert.equal(await opacity(), "0.35 0.35 0.35 0.35");
  } finally {
    running.get("sim").kill("SIGCONT");
  }
  await waitForState("live", 4000);
});

test('stopping the relay shows "relay offline"; restarting it recovers', async () => {
  await stop("relay");
  await waitForState("relay offline", 3000);
  start("relay");
  await waitForState("live", 10000);
});

test('a hung relay-web shows "no telemetry", then "reconnecting" and tries anew; a stopped one "reconnecting"', async () => {
  // A held process keeps its connections open and silent, like a link that
  // died without closing, and the kernel still takes new ones that nothing
  // answers: the page must notice, give each up and try again.
  let tries = 0;
  page.on("websocket", () => ++tries);
  running.get("web").kill("SIGSTOP");
  await waitForState("no telemetry", 4000);
  await waitForState("reconnecting", 12000);
  await settle(async () => tries >= 2, true, 8000);
  running.get("web").kill("SIGCONT");
  await waitForState("live", 10000);

  await stop("web");
  await waitForState("reconnecting", 3000);
  start("web", WEB_ARGS);
  await waitForState("live", 10000);
  assert.deepEqual(pageErrors, []);
});

// ---- relay-web reading the simulator, and a teammate's view through a broker ---------

test('relay-web reading the simulator: "simulator not running", then every tile, the fuel panel and the field in both panels; screenshots', async () => {
  for (const name of ["web", "relay", "sim"]) await stop(name);
  start("web"); // no --relay: the simulator itself
  await connectWithRetry(8667).then((s) => s.destroy());
  await page.setViewportSize({ width: 390, height: 844 });
  await page.reload();
  await waitForState("simulator not running", 10000);
  // The simulated car at ten times its pace: its first green lap (the second,
  // after the lap out of the pits) ends some 25 s from now.
  start("sim", ["--seed", "7", "--speed", "10"]);
  await waitForState("live", 10000);
  await settle(async () => (await read(page, ["fuel-laps-counted"]))["fuel-laps-counted"], "over 1 lap", 60000);
  const shown = await read(page, [...NEW_TILES, "fuel-per-lap", "laps-of-fuel", "laps-to-go", "stops"]);
  for (const [id, text] of Object.entries(shown)) assert.notEqual(text, null, `${id} is not shown`);
  assert.match(shown["fuel-per-lap"], /^3\.[234]\dL$/, "the car's 3.3 litres a lap");
  // The simulated field in both panels, the player's row marked in each.
  for (const id of ["relative", "standings"]) {
    await settle(async () => {
      const rows = await boardRows(page, id);
      return rows.length >= 2 && rows.filter((row) => row.startsWith("> ")).length === 1;
    }, true, 10000);
  }
  // Held while a few lamps are lit, so each picture of a pair shows one row
  // (a held source is "no telemetry", dimmed, after two seconds).
  for (const pictures of [[["portrait", 390, 844], ["landscape", 844, 390]],
                          [["desktop", 1280, 800], ["standings", 390, 844, "Standings"]]]) {
    await settle(async () => Number((await read(page, ["lamps"])).lamps.split(" ")[0]) >= 4, true, 20000);
    running.get("sim").kill("SIGSTOP");
    try {
      for (const [name, width, height, tab] of pictures) {
        await page.setViewportSize({ width, height });
        if (tab) await page.getByRole("tab", { name: tab }).click();
        await sleep(300);
        assert.deepEqual(await layoutFaults(page), [], name);
        await screenshot(page, `dashboard-${name}`);
      }
    } finally {
      running.get("sim").kill("SIGCONT");
    }
    await page.getByRole("tab", { name: "Dash" }).click(); // each pair ends on a phone
    await waitForState("live", 4000);
  }
});

test("a teammate's view: the page relay-mqtt writes, served by mosquitto, shows the driver's rows; \"driver offline\"",
     { skip: !exe.mqtt && "relay-mqtt is not built (RELAY_MQTT)" }, async () => {
  const dir = fs.mkdtempSync(path.join(outDir, "browser-test-team-"));
  const free = () => new Promise((resolve) => {
    const server = net.createServer().listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
  const [mqttPort, viewPort] = [await free(), await free()];
  start("mqtt", ["--write-page", path.join(dir, "page")]);
  await new Promise((resolve) => running.get("mqtt").once("exit", resolve));
  // As root mosquitto would switch to its own user, which may not read here.
  fs.writeFileSync(path.join(dir, "broker.conf"), [
    ...(process.getuid() === 0 ? ["user root"] : []), "per_listener_settings false", "allow_anonymous true", `listener ${mqttPort} 127.0.0.1`,
    `listener ${viewPort} 127.0.0.1`, "protocol websockets", `http_dir ${path.join(dir, "page")}`, ""].join("\n"));
  start("broker", ["-c", path.join(dir, "broker.conf")]);
  await connectWithRetry(mqttPort).then((s) => s.destroy());
  start("mqtt", ["--broker", `mqtt://127.0.0.1:${mqttPort}`, "--topic", "team/car46",
                 "--web", "ws://127.0.0.1:8667/ws?vars=" + Object.keys(VARS).join(",")]);
  const team = await browser.newPage({ viewport: { width: 844, height: 390 } });
  team.on("pageerror", (e) => pageErrors.push(String(e)));
  await team.goto(`http://127.0.0.1:${viewPort}/?topic=team/car46`);
  await waitForState("live", 10000, team);
  // The driver's rows as they come: the RPM moves, the position is there.
  const first = (await read(team, ["rpm"])).rpm;
  await settle(async () => (await read(team, ["rpm"])).rpm !== first, true, 5000);
  assert.match((await read(team, ["position"])).position, /^P\d+$/); // P1 to P12
  // The field too, from PREFIX/standings and PREFIX/relative.
  for (const id of ["relative", "standings"]) {
    await settle(async () => (await boardRows(team, id)).filter((row) => row.startsWith("> ")).length, 1, 5000);
  }
  await screenshot(team, "dashboard-team");
  await stop("mqtt");
  await waitForState("driver offline", 5000, team);
  // relay-log's log, compact and retained, for a teammate who opens the page
  // later; then a newer lap on PREFIX/lap. (With the bridge stopped no lap of
  // the simulated race comes between.)
  const publish = (name, message, retain) => team.evaluate(([url, topic, text, retain]) => new Promise((resolve, reject) => {
    const c = mqtt.connect(url).on("error", reject);
    c.on("connect", () => c.publish(topic, text, { qos: 1, retain }, (e) => c.end(false, {}, () => (e ? reject(e) : resolve()))));
  }), [`ws://127.0.0.1:${viewPort}/`, `team/car46/${name}`, JSON.stringify(message), retain]);
  await publish("log", COMPACT_LOG, true);
  await team.reload();
  await team.getByRole("tab", { name: "Laps" }).click();
  const laps = ["14|Alex Other|1:59.100|3.30||P5|P3", "13|Sam Driver|2:30.900|-|PIT|P4|P2", "12|Sam Driver|1:58.204|3.31||P4|P2"];
  await settle(() => boardRows(team, "laps"), laps, 5000);
  assert.deepEqual(await boardRows(team, "stints"), ["Alex Other|14|1|1:59.100|3.30", "Sam Driver|12\u201313|2|1:58.204|3.31"]);
  await publish("lap", lapOf(15, "Alex Other", { time: 119.3, fuelUsed: 3.28, position: 5, classPosition: 3 }), false);
  await settle(() => boardRows(team, "laps"), ["15|Alex Other|1:59.300|3.28||P5|P3", ...laps]);
  assert.deepEqual((await boardRows(team, "stints"))[0], "Alex Other|14\u201315|2|1:59.200|3.29");
  await team.close();
  await stop("broker");
  fs.rmSync(dir, { recursive: true, force: true });
  assert.deepEqual(pageErrors, []);
});
