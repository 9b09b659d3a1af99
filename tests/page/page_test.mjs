// The listening page in a real browser (Debian's Chromium or Firefox ESR,
// headless, through puppeteer-core), against the real headless lantern-fm.
//
//   node page_test.mjs listen chromium|firefox
//       Every listener case in one browser: plays, passcode and the locked
//       screen, track changes when heard, restart, off air, full, 320 px.
//   node page_test.mjs visit chromium|firefox URL STATION TITLE LANDING
//       Opens URL, expects to land on LANDING with STATION and TITLE shown
//       and the audio playing.
//
// From the environment: LANTERN_FM, LANTERN_CLOUDFLARED (the tunnel stand-in),
// FAKE_MPRIS_PLAYER, TONE_SOURCE (an application playing a tone on the sound
// server of PULSE_SERVER), SCREENSHOTS (a folder), and the session bus of
// DBUS_SESSION_BUS_ADDRESS. Exits 0 when every check passed, 1 otherwise;
// a browser that cannot play AAC is a failure, not a pass.

import { spawn, execFileSync } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";
import puppeteer from "puppeteer-core";

const browsers = {
  chromium: { browser: "chrome", executablePath: "/usr/bin/chromium",
              args: ["--no-sandbox", "--mute-audio", "--disable-gpu"] },
  firefox: { browser: "firefox", executablePath: "/usr/bin/firefox-esr", args: [] },
};
const OFF_AIR = "The station is off air \u2014 this page will start playing when it\u2019s back";
const FULL = "The station is full right now";
const LOCKED = "This station needs the link with its passcode";

const sleep = (ms) => new Promise((done) => setTimeout(done, ms));
const failures = [];
function check(ok, what) {
  console.log(`${ok ? "ok  " : "FAIL"} ${what}`);
  if (!ok) failures.push(what);
  return ok;
}
async function waitFor(probe, ms, step = 100) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await probe();
    if (value || Date.now() >= end) return value;
    await sleep(step);
  }
}

// ---- The station: lantern-fm --headless on the test's sound server ----

class Station {
  constructor(home, extra = []) {
    this.child = spawn(process.env.LANTERN_FM,
      ["--headless", `--source=${process.env.TONE_SOURCE}`, "--stationName=Attic Waves", ...extra],
      { env: { ...process.env, XDG_DATA_HOME: path.join(home, "data"),
               XDG_CONFIG_HOME: path.join(home, "config") },
        stdio: ["ignore", "pipe", "inherit"] });
    this.exited = new Promise((done) => this.child.on("exit", done));
    this.port = new Promise((found) => {
      let text = "";
      this.child.stdout.on("data", (bytes) => {
        text += bytes;
        const match = /listen locally: http:\/\/127\.0\.0\.1:(\d+)\//.exec(text);
        if (match) found(Number(match[1]));
      });
      this.exited.then(() => found(0));
    });
  }
  // As a user quits it: SIGTERM, so that it ends its tunnel tool too.
  async stop() {
    this.child.kill("SIGTERM");
    await Promise.race([this.exited, sleep(10000)]);
    this.child.kill("SIGKILL");
  }
}

// What the station itself says now (directly, not through the tunnel).
const now = (port) => fetch(`http://127.0.0.1:${port}/now?lag=0&k=pw`)
  .then((response) => response.json()).catch(() => null);

// ---- The tunnel: a forwarding proxy the test can point elsewhere ----

// Seconds of audio in an ADTS stream fed in pieces: whole frames from the
// first frame start on (a burst may begin inside a frame).
class AudioClock {
  constructor() { this.pending = Buffer.alloc(0); this.seconds = 0; this.synced = false; }
  feed(bytes) {
    if (this.startsOnFrame === undefined && bytes.length >= 2)
      this.startsOnFrame = bytes[0] === 0xff && (bytes[1] & 0xf6) === 0xf0;
    const rates = [96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000];
    let data = Buffer.concat([this.pending, bytes]);
    let at = 0;
    for (;;) {
      if (!this.synced) {
        while (at + 1 < data.length && !(data[at] === 0xff && (data[at + 1] & 0xf6) === 0xf0)) ++at;
        if (at + 1 >= data.length) break;
        this.synced = true;
      }
      if (at + 7 > data.length) break;
      const length = ((data[at + 3] & 3) << 11) | (data[at + 4] << 3) | (data[at + 5] >> 5);
      if (at + length > data.length) break;
      this.seconds += 1024 / rates[(data[at + 2] >> 2) & 15];
      at += length;
    }
    this.pending = data.subarray(at);
  }
}

// Stands where the tunnel stands: listeners reach the station through it. It
// counts stream requests per station port, answers 502 as a tunnel does when
// the station is gone, and can cut the streams it carries.
class Tunnel {
  constructor() {
    this.target = 0;
    this.streams = new Map();
    this.open = new Set();
    this.server = http.createServer((request, response) => this.forward(request, response));
  }
  listen() {
    return new Promise((done) => this.server.listen(0, "127.0.0.1", () =>
      done(this.server.address().port)));
  }
  forward(request, response) {
    if (this.tooMany && request.url.startsWith("/stream")) {
      // As the tunnel answers with about 200 requests in flight.
      response.writeHead(429, { "content-type": "text/plain", "retry-after": "2" });
      return response.end("Too Many Requests\n");
    }
    const port = this.target;
    if (this.down) {
      response.writeHead(502, { "content-type": "text/plain" });
      return response.end("Bad gateway\n");
    }
    const stream = request.method === "GET" && /^\/(stream|live)/.test(request.url);
    if (stream) this.streams.set(port, (this.streams.get(port) || 0) + 1);
    const upstream = http.request({ host: "127.0.0.1", port, method: request.method,
                                    path: request.url, headers: request.headers }, (answer) => {
      response.writeHead(answer.statusCode, answer.headers);
      if (stream && answer.statusCode === 200) {
        const clock = (this.delivered = new AudioClock());
        answer.on("data", (bytes) => clock.feed(bytes));
      }
      answer.pipe(response);
    });
    upstream.on("error", () => {
      if (!response.headersSent) {
        response.writeHead(502, { "content-type": "text/plain" });
        response.end("Bad gateway\n");
      } else {
        response.destroy();
      }
    });
    this.open.add(response);
    response.on("close", () => { this.open.delete(response); upstream.destroy(); });
    request.pipe(upstream);
  }
  cut() { for (const response of this.open) response.destroy(); }
}

// ---- The page ----

async function launch(name) {
  const options = browsers[name];
  if (!options) throw new Error(`no browser called ${name}`);
  return puppeteer.launch({ ...options, headless: true, protocolTimeout: 60000 });
}

// A browser that stopped answering must not hold the run until the harness
// kills it: a few seconds to close, then its process goes.
async function shut(browser) {
  await Promise.race([browser.close().catch(() => {}), sleep(5000)]);
  const child = browser.process();
  if (child && child.exitCode === null) child.kill("SIGKILL");
}

async function openPage(browser, url, width = 390, height = 844) {
  const context = await browser.createBrowserContext(); // its own storage: a new listener
  const page = await context.newPage();
  await page.setViewport({ width, height });
  await page.goto(url);
  // Input reaches a page only while it is the one the browser renders.
  await page.bringToFront();
  return page;
}

const state = (page) => page.evaluate(() => {
  const audio = document.getElementById("audio");
  const metadata = navigator.mediaSession && navigator.mediaSession.metadata;
  return {
    time: audio.currentTime, paused: audio.paused,
    playing: document.getElementById("dot").classList.contains("on"),
    note: document.getElementById("note").textContent,
    title: document.getElementById("title").textContent,
    station: document.getElementById("station").textContent,
    locked: document.body.classList.contains("locked"),
    lockedLine: document.body.classList.contains("locked") &&
      getComputedStyle(document.getElementById("locked")).display !== "none" &&
      document.getElementById("locked-line").textContent,
    session: metadata ? metadata.title : null,
    button: document.getElementById("play").getAttribute("aria-label"),
    scrollWidth: document.documentElement.scrollWidth,
    playerLink: document.getElementById("in-player").href,
    url: location.href,
  };
});

// Whether the audio element's clock moves: at least `seconds` * 0.8 in `seconds`.
async function advances(page, seconds) {
  const before = (await state(page)).time;
  await sleep(seconds * 1000);
  const after = await state(page);
  return !after.paused && after.time - before >= seconds * 0.8;
}

async function requireAAC(page, name) {
  const aac = await page.evaluate(() => document.createElement("audio").canPlayType("audio/aac"));
  if (!aac) throw new Error(`${name} cannot play AAC: the set-up is broken (no codec), not a pass`);
  return aac;
}

async function screenshot(page, what, name) {
  const folder = process.env.SCREENSHOTS;
  fs.mkdirSync(folder, { recursive: true });
  await page.setViewport({ width: 390, height: 844 });
  await page.screenshot({ path: path.join(folder, `page-${what}-${name}.png`) });
}

// Asks the player for its next track, and finds the stream position that
// carries the change: what `proxy` had delivered when the station read it.
async function nextTrack(port, proxy) {
  execFileSync("dbus-send", ["--session", "--print-reply",
    `--dest=org.mpris.MediaPlayer2.${process.env.TONE_SOURCE}`, "/org/mpris/MediaPlayer2",
    "org.mpris.MediaPlayer2.Player.Next"]);
  let position = null;
  await waitFor(async () => {
    const at = proxy.delivered.seconds;
    if (((await now(port)) || {}).title !== "Night Ferry") return false;
    position = at;
    return true;
  }, 8000, 50);
  return position;
}

// Whether the page shows the change within 1 s of the listener hearing the
// audio at `position`.
async function showsWhenHeard(page, position, what) {
  let heardAt = null;
  await waitFor(async () => {
    const s = await state(page);
    if (s.title !== "Night Ferry") return false;
    heardAt = s.time;
    return true;
  }, 20000, 50);
  check(position !== null && heardAt !== null && Math.abs(heardAt - position) <= 1,
        `${what} the change shows within 1 s of being heard (${
          heardAt === null || position === null ? "never" :
            ((heardAt - position) * 1000).toFixed(0) + " ms"})`);
}

// ---- The cases ----

// A case's world: a home whose passcode is "pw", the player with its two
// tracks, a tunnel, the stations `start` makes and a browser; all gone after.
async function withStation(name, body) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), "lantern-page-"));
  fs.mkdirSync(path.join(home, "data/lantern-fm"), { recursive: true });
  fs.writeFileSync(path.join(home, "data/lantern-fm/passcode"), "pw", { mode: 0o600 });
  const player = spawn(process.env.FAKE_MPRIS_PLAYER,
    [process.env.TONE_SOURCE, "Playing", "Harbour Lights|The Gulls|Low Tide|",
     "Night Ferry|The Gulls|Low Tide|"], { stdio: "ignore" });
  // Named on the bus before a station looks for it.
  const named = () => execFileSync("dbus-send", ["--session", "--print-reply",
    "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
    `string:org.mpris.MediaPlayer2.${process.env.TONE_SOURCE}`]).toString().includes("true");
  await waitFor(named, 5000);
  const tunnel = new Tunnel();
  const tunnelPort = await tunnel.listen();
  const stations = [];
  const start = async (extra) => {
    const station = new Station(home, extra);
    stations.push(station);
    const port = await station.port;
    if (!port) throw new Error("lantern-fm did not start");
    tunnel.target = port;
    return { station, port };
  };
  const browser = await launch(name);
  try {
    await body({ browser, tunnel, tunnelPort, start, home });
  } finally {
    await shut(browser);
    for (const station of stations) await station.stop();
    player.kill();
    await Promise.race([new Promise((done) => player.on("exit", done)), sleep(5000)]);
    tunnel.server.close();
    fs.rmSync(home, { recursive: true, force: true });
  }
}

const listen = (name) => withStation(name, async ({ browser, tunnel, tunnelPort, start }) => {
  let { station, port } = await start();
  const onAir = Date.now();
  const page = await openPage(browser, `http://127.0.0.1:${tunnelPort}/#k=pw`);
  const aac = await requireAAC(page, name);
  console.log(`${name} ${await browser.version()}: canPlayType("audio/aac") = ${aac}`);

  // Plays within 1.5 s of the tap, and keeps playing.
  check(await waitFor(async () => (await state(page)).title === "Harbour Lights", 10000),
        "the page shows the station's track (the passcode of the fragment was sent)");
  // Once the station has a whole burst to give, so that the listener
  // plays seconds behind it, as listeners do.
  await sleep(Math.max(0, onAir + 8000 - Date.now()));
  const tapped = Date.now();
  await page.click("#play");
  const started = await waitFor(async () => (await state(page)).time > 0, 5000, 20);
  check(started && Date.now() - tapped <= 1500,
        `plays within 1.5 s of the tap (${Date.now() - tapped} ms)`);
  check(await advances(page, 3), "the audio element's time advances for 3 s");
  check((await state(page)).note === "", "no note while playing");
  check((await state(page)).playerLink === `http://127.0.0.1:${tunnelPort}/listen.m3u?k=pw`,
        "the player link carries the passcode in its query");
  check(tunnel.delivered.startsOnFrame, "the stream starts on an ADTS frame");
  await screenshot(page, "playing", name);

  // The layout fits a 320 px phone.
  await page.setViewport({ width: 320, height: 640 });
  check((await state(page)).scrollWidth <= 320, "nothing is wider than 320 px");
  await page.setViewport({ width: 390, height: 844 });

  // A track change shows when the listener hears it. The audio the station
  // captured as it read the change sits at the stream position the tunnel
  // had delivered by then; the listener hears it when the element's time
  // reaches that position.
  const position = await nextTrack(port, tunnel);
  check(position !== null, "the station read the new track");
  if (position !== null) {
    const then = await state(page);
    check(position - then.time > 2 && then.title === "Harbour Lights",
          `the change is not shown before it is heard (${(position - then.time).toFixed(2)} s ahead)`);
    await showsWhenHeard(page, position, "on the station's stream");
  }
  check(await waitFor(async () => (await state(page)).session === "Night Ferry", 2000),
        "the lock-screen metadata follows");
  check(tunnel.streams.get(port) === 1, `one stream request so far (${tunnel.streams.get(port)})`);

  // A locked screen without the passcode, and with a wrong one.
  for (const fragment of ["", "#k=wrong"]) {
    const stranger = await openPage(browser, `http://127.0.0.1:${tunnelPort}/${fragment}`);
    check(await waitFor(async () => (await state(stranger)).lockedLine === LOCKED, 8000),
          `locked screen for ${fragment || "no passcode"}`);
    if (fragment) await screenshot(stranger, "locked", name);
    await stranger.close();
  }

  // The station restarts: the page plays again by itself, counted once,
  // on one new stream.
  await station.stop();
  ({ station, port } = await start());
  const playsFrom = (port) => waitFor(async () => tunnel.streams.get(port) >= 1 &&
    (await state(page)).playing && (await advances(page, 1)), 30000);
  check(await playsFrom(port), "after a restart the page plays again by itself");
  await sleep(3000);
  check(((await now(port)) || {}).listeners === 1, "and is counted once");
  check(tunnel.streams.get(port) === 1,
        `one stream request after the reconnect (${tunnel.streams.get(port)})`);

  // The station stops: the off-air line within 20 s, still retrying; back
  // on air, the page plays again without a reload.
  await station.stop();
  const stopped = Date.now();
  const offAirLine = await waitFor(async () => (await state(page)).note === OFF_AIR, 20000);
  check(offAirLine, `the off-air line within 20 s (${Date.now() - stopped} ms)`);
  check((await state(page)).button === "Stop waiting", "the button waits, it does not offer to pause");
  await screenshot(page, "off-air", name);
  ({ station, port } = await start(["--maxListeners=1"]));
  check(await playsFrom(port), "back on air, the page plays again by itself");

  // Full: another listener holds the only place when the page reconnects.
  let holder = null;
  tunnel.cut();
  await waitFor(async () => ((await now(port)) || {}).listeners === 0, 5000, 20);
  holder = http.get({ host: "127.0.0.1", port, path: "/stream?k=pw&l=holder" });
  holder.on("error", () => {});
  check(await waitFor(async () => (await state(page)).note === FULL, 15000), "the full line");
  await screenshot(page, "full", name);
  holder.destroy();
  check(await waitFor(async () => (await state(page)).playing && (await advances(page, 1)), 20000),
        "a place frees up: the page plays again after its Retry-After");

  // The tunnel has too many requests in flight: full too, and back after
  // its Retry-After.
  tunnel.tooMany = true;
  tunnel.cut();
  check(await waitFor(async () => (await state(page)).note === FULL, 15000),
        "the full line when the tunnel answers 429");
  tunnel.tooMany = false;
  check(await waitFor(async () => (await state(page)).playing && (await advances(page, 1)), 20000),
        "the page plays again once the tunnel lets it through");
  await station.stop();
});

// The station relayed to a real Icecast server (started by the C++ side at
// ICECAST_PORT), reached through a forwarding proxy that measures what it
// delivers: the page plays from the relay, shows a change when it is heard
// there, and falls back to the station's own stream when the relay is gone.
const relayed = (name) => withStation(name, async ({ browser, tunnel, tunnelPort, start, home }) => {
  const relayProxy = new Tunnel();
  const relayPort = await relayProxy.listen();
  relayProxy.target = Number(process.env.ICECAST_PORT);
  const relayURL = `http://127.0.0.1:${relayPort}/live`;
  try {
    // The source password where the keychain keeps it without a keyring.
    fs.writeFileSync(path.join(home, "data/lantern-fm/relay.password"), "hackme", { mode: 0o600 });
    const { port } = await start([
      `--relayURL=icecast://127.0.0.1:${process.env.ICECAST_PORT}/live`,
      `--relayListenURL=${relayURL}`]);
    const relay = await waitFor(async () => {
      const info = (await now(port)) || {};
      return info.relay === relayURL && typeof info.relayBurst === "number" && info;
    }, 20000);
    check(relay, "the station names its relay and how much it bursts");
    if (!relay) return;
    console.log(`the relay's burst: ${relay.relayBurst} s`);
    const page = await openPage(browser, `http://127.0.0.1:${tunnelPort}/#k=pw`);
    await requireAAC(page, name);
    check(await waitFor(async () => (await state(page)).title === "Harbour Lights", 10000),
          "the page shows the station's track");
    await page.click("#play");
    check(await waitFor(async () => (await state(page)).time > 0, 8000), "the page plays");
    const source = await page.evaluate(() => document.getElementById("audio").src);
    check(source === relayURL, `from the relay (${source})`);
    check(await advances(page, 3), "and keeps playing");
    check(!tunnel.streams.get(port), "nothing streams through the station's tunnel");

    // The change shows when it is heard from the relay.
    await showsWhenHeard(page, await nextTrack(port, relayProxy), "from the relay");

    // The relay goes away: the station's own stream, through its tunnel.
    relayProxy.down = true;
    relayProxy.cut();
    check(await waitFor(async () => tunnel.streams.get(port) >= 1 &&
      (await state(page)).playing && (await advances(page, 1)), 30000),
          "without the relay the page plays the station's own stream");
    await screenshot(page, "relayed", name);
  } finally {
    relayProxy.server.close();
  }
});

async function visit(name, url, stationName, title, landing) {
  const browser = await launch(name);
  try {
    const page = await openPage(browser, url);
    await requireAAC(page, name);
    check(await waitFor(async () => {
      const s = await state(page);
      return s.url.startsWith(landing) && s.station === stationName && s.title === title;
    }, 15000), `landed on ${landing} showing ${stationName} and ${title}`);
    await page.click("#play");
    check(await waitFor(async () => (await state(page)).time > 1, 15000), "the audio plays");
  } finally {
    await shut(browser);
  }
}

const [command, name, ...rest] = process.argv.slice(2);
try {
  if (command === "listen") await listen(name);
  else if (command === "visit") await visit(name, ...rest);
  else if (command === "relay") await relayed(name);
  else throw new Error("usage: page_test.mjs listen|visit|relay BROWSER ...");
} catch (error) {
  failures.push(String(error && error.stack || error));
  console.log(`FAIL ${error && error.stack || error}`);
}
console.log(failures.length ? `${failures.length} failed` : "all passed");
process.exit(failures.length ? 1 : 0);
