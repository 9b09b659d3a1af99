// The listening page in a real browser (Debian's Chromium or Firefox ESR,
// headless, through puppeteer-core), against the real headless lantern-fm.
//
//   node page_test.mjs listen chromium|firefox
//       Every listener case in one browser: plays, passcode and the locked
//       screen, track changes when heard, restart, off air, full, 320 px.
//   node page_test.mjs relay chromium|firefox
//       Plays from the station's Icecast relay (at ICECAST_PORT), falls back.
//   node page_test.mjs catchup chromium|firefox
//       Plays a song aired earlier from its top, behind live, and back to live.
//   node page_test.mjs light chromium|firefox
//       Data Saver plays the light stream as Opus (light AAC where Opus does
//       not play); in Chromium, on a slow link the station lightens the full
//       stream and the page plays through, and on a good one it does not.
//   node page_test.mjs together chromium|firefox
//       Two listeners: one names itself and reacts, the other sees both;
//       with the switch off, no controls.
//   node page_test.mjs visit chromium|firefox URL STATION TITLE LANDING
//       Opens URL, expects to land on LANDING with STATION and TITLE shown
//       and the audio playing.
//
// From the environment: LANTERN_FM, LANTERN_CLOUDFLARED (the tunnel stand-in),
// DBUS_STANDIN, TONE_SOURCE (an application playing a tone on the sound
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
const RATES = [96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000];
const MPRIS = `org.mpris.MediaPlayer2.${process.env.TONE_SOURCE}`;

const sleep = (ms) => new Promise((done) => setTimeout(done, ms));
const bus = (...args) => execFileSync("dbus-send", ["--session", "--print-reply", ...args]) + "";
// What the station itself says now (directly, not through the tunnel); {} when it cannot.
const now = (port) => fetch(`http://127.0.0.1:${port}/now?lag=0&k=pw`)
  .then((response) => response.json()).catch(() => ({}));

const failures = [];
function check(ok, what) {
  console.log(`${ok ? "ok  " : "FAIL"} ${what}`);
  if (!ok) failures.push(what);
  return ok;
}
// The one wait: the first truthy value of `probe` within `ms`, else its last one.
async function waitFor(probe, ms, step = 100) {
  for (const deadline = Date.now() + ms; ;) {
    const value = await probe();
    if (value || Date.now() >= deadline) return value;
    await sleep(step);
  }
}

const exited = (child) => child.exitCode !== null || child.signalCode !== null;
// Ends a child as a user quits it (SIGTERM, so that a station ends its tunnel
// tool too), and for good after `ms`.
async function end(child, ms) {
  const gone = exited(child) || new Promise((done) => child.once("exit", done));
  child.kill("SIGTERM");
  await Promise.race([gone, sleep(ms)]);
  child.kill("SIGKILL");
}

// ---- The tunnel: a forwarding proxy the test can point elsewhere ----

// Seconds of audio in an ADTS stream fed in pieces: whole frames from the
// first frame start on (a burst may begin inside a frame).
class AudioClock {
  pending = Buffer.alloc(0);
  seconds = 0;
  feed(bytes) {
    const sync = (data, at) => data[at] === 0xff && (data[at + 1] & 0xf6) === 0xf0;
    if (bytes.length >= 2) this.startsOnFrame ??= sync(bytes, 0);
    const data = Buffer.concat([this.pending, bytes]);
    let at = 0;
    while (!this.synced && at + 1 < data.length && !sync(data, at)) ++at;
    this.synced ||= at + 1 < data.length;
    for (let length; this.synced && at + 7 <= data.length; at += length) {
      length = ((data[at + 3] & 3) << 11) | (data[at + 4] << 3) | (data[at + 5] >> 5);
      if (at + length > data.length) break;
      this.seconds += 1024 / RATES[(data[at + 2] >> 2) & 15];
    }
    this.pending = data.subarray(at);
  }
}

// Stands where the tunnel stands: listeners reach `target` through it at
// `base`. It counts stream requests per station port and keeps their paths,
// answers 502 as a tunnel does when the station is gone, measures the last
// stream it delivered, and can cut the streams it carries.
class Tunnel {
  streams = new Map();
  streamPaths = [];
  open = new Set();
  server = http.createServer((request, response) => this.forward(request, response));
  constructor(target) { this.target = target; }
  async listen() {
    await new Promise((done) => this.server.listen(0, "127.0.0.1", done));
    this.base = `http://127.0.0.1:${this.server.address().port}`;
    return this;
  }
  forward(request, response) {
    const refuse = (status = 502, text = "Bad gateway\n", headers = {}) => {
      response.writeHead(status, { "content-type": "text/plain", ...headers });
      response.end(text);
    };
    // As the tunnel answers with about 200 requests in flight.
    if (this.tooMany && request.url.startsWith("/stream"))
      return refuse(429, "Too Many Requests\n", { "retry-after": "2" });
    if (this.down) return refuse();
    const port = this.target;
    const stream = request.method === "GET" && /^\/(stream|live)/.test(request.url);
    if (stream && this.gate) return this.gate.then(() => this.forward(request, response));
    if (stream) {
      this.streams.set(port, (this.streams.get(port) || 0) + 1);
      this.streamPaths.push(request.url);
    }
    const upstream = http.request({ host: "127.0.0.1", port, method: request.method,
                                    path: request.url, headers: request.headers }, (answer) => {
      response.writeHead(answer.statusCode, answer.headers);
      // ADTS only: Ogg's bytes could pass for a frame header.
      const clock = stream && answer.statusCode === 200 &&
        !/ogg/.test(answer.headers["content-type"]) && (this.delivered = new AudioClock());
      if (clock) answer.on("data", (bytes) => clock.feed(bytes));
      answer.pipe(response);
    });
    upstream.on("error", () => (response.headersSent ? response.destroy() : refuse()));
    this.open.add(response);
    response.on("close", () => { this.open.delete(response); upstream.destroy(); });
    request.pipe(upstream);
  }
  cut() { for (const response of this.open) response.destroy(); }
}

// ---- The page ----

// A browser for `body`. One that stopped answering must not hold the run until
// the harness kills it: a few seconds to close, then its process goes.
async function withBrowser(name, body) {
  if (!browsers[name]) throw new Error(`no browser called ${name}`);
  const browser = await puppeteer.launch({ ...browsers[name], headless: true,
                                           protocolTimeout: 60000 });
  try {
    return await body(browser);
  } finally {
    await Promise.race([browser.close().catch(() => {}), sleep(5000)]);
    browser.process()?.kill("SIGKILL");
  }
}

// A new listener (its own storage) on `url`, in a browser that can play AAC;
// `prepare` readies the page before it loads.
async function openPage(browser, url, prepare = async () => {}) {
  const page = await (await browser.createBrowserContext()).newPage();
  await page.setViewport({ width: 390, height: 844 });
  await prepare(page);
  await page.goto(url);
  await page.bringToFront(); // input reaches a page only while the browser renders it
  if (!(await page.evaluate(() => document.createElement("audio").canPlayType("audio/aac"))))
    throw new Error(`${await browser.version()} cannot play AAC: no codec, not a pass`);
  return page;
}

const state = (page) => page.evaluate(() => {
  const $ = (id) => document.getElementById(id);
  // What is heard: while the page hands over to another stream, the one that plays on.
  const audio = [...document.querySelectorAll("audio")].find((a) => !a.muted) ?? $("audio");
  return {
    time: audio.currentTime, paused: audio.paused, source: audio.src,
    playing: $("dot").classList.contains("on"), note: $("note").textContent,
    title: $("title").textContent, station: $("station").textContent,
    behind: $("behind")?.getClientRects().length > 0 && $("behind").textContent,
    lockedLine: document.body.classList.contains("locked") &&
      getComputedStyle($("locked")).display !== "none" && $("locked-line").textContent,
    session: navigator.mediaSession?.metadata?.title,
    button: $("play").getAttribute("aria-label"), playerLink: $("in-player").href,
    scrollWidth: document.documentElement.scrollWidth, url: location.href,
  };
});

// The page's first state that `ok` accepts within `ms`, else false.
const shows = (page, ok, ms, step) => waitFor(async () => {
  const s = await state(page);
  return ok(s) && s;
}, ms, step);
const comes = async (page, ok, ms, what) => check(await shows(page, ok, ms), what);

// Whether the audio element's clock moves: at least `seconds` * 0.8 in `seconds`.
async function advances(page, seconds) {
  const before = (await state(page)).time;
  await sleep(seconds * 1000);
  const after = await state(page);
  return !after.paused && after.time - before >= seconds * 0.8;
}

// Whether the page plays again by itself within `ms` (once `first` holds).
const plays = (page, ms, first = () => true) =>
  waitFor(async () => first() && (await state(page)).playing && (await advances(page, 1)), ms);

async function screenshot(page, what, name) {
  fs.mkdirSync(process.env.SCREENSHOTS, { recursive: true });
  await page.setViewport({ width: 390, height: 844 });
  await page.screenshot({ path: path.join(process.env.SCREENSHOTS, `page-${what}-${name}.png`) });
}

// Asks the player for its next track and checks that the page shows it within
// 1 s of the listener hearing it. The audio the station captured as it read
// the change sits at the stream position `proxy` had delivered by then; the
// listener hears it when the element's time reaches that position. With
// `ahead`, the page must be more than that many seconds short of it first,
// still showing the old track.
async function changeTrack(page, port, proxy, what, ahead) {
  bus(`--dest=${MPRIS}`, "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2.Player.Next");
  // `at`, what had been delivered, is read before asking the station.
  const read = await waitFor((at = proxy.delivered.seconds) =>
    now(port).then((info) => info.title === "Night Ferry" && { at }), 8000, 50);
  if (!check(read, `${what}: the station read the new track`)) return;
  const then = await state(page);
  const early = read.at - then.time;
  if (ahead) check(early > ahead && then.title === "Harbour Lights",
                   `the change is not shown before it is heard (${early.toFixed(2)} s ahead)`);
  const heard = await shows(page, (s) => s.title === "Night Ferry", 20000, 50);
  const late = heard ? heard.time - read.at : Infinity;
  check(Math.abs(late) <= 1, `the change ${what} shows within 1 s of being heard (${
    (late * 1000).toFixed(0)} ms)`);
}

// ---- The cases ----

// A case's world: a home whose passcode is "pw", the player with its two
// tracks, the tunnel, the proxies and stations the case makes (`start` points
// the tunnel at its station) and a browser; all gone after.
async function withStation(name, body) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), "lantern-page-"));
  fs.mkdirSync(path.join(home, "data/lantern-fm"), { recursive: true });
  fs.writeFileSync(path.join(home, "data/lantern-fm/passcode"), "pw", { mode: 0o600 });
  const children = [spawn(process.env.DBUS_STANDIN, ["player", process.env.TONE_SOURCE, "Playing",
    "Harbour Lights|The Gulls|Low Tide|", "Night Ferry|The Gulls|Low Tide|"], { stdio: "ignore" })];
  const proxies = [new Tunnel(0)];
  const [tunnel] = proxies;
  const proxy = (target) => {
    proxies.push(new Tunnel(target));
    return proxies.at(-1).listen();
  };
  const start = async (extra = []) => {
    const child = spawn(process.env.LANTERN_FM,
      ["--headless", `--source=${process.env.TONE_SOURCE}`, "--stationName=Attic Waves", ...extra],
      { env: { ...process.env, XDG_DATA_HOME: path.join(home, "data"),
               XDG_CONFIG_HOME: path.join(home, "config") },
        stdio: ["ignore", "pipe", "inherit"] });
    children.push(child);
    let text = "";
    child.stdout.on("data", (bytes) => (text += bytes));
    const port = Number(await waitFor(() => (exited(child) ? "0" :
      /listen locally: http:\/\/127\.0\.0\.1:(\d+)\//.exec(text)?.[1]), 60000, 50));
    if (!port) throw new Error("lantern-fm did not start");
    tunnel.target = port;
    return { port, stop: () => end(child, 10000) };
  };
  try {
    // Named on the bus before a station looks for it.
    await waitFor(() => bus("--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
      "org.freedesktop.DBus.NameHasOwner", `string:${MPRIS}`).includes("true"), 5000);
    await tunnel.listen();
    await withBrowser(name, (browser) => body({ browser, tunnel, start, home, proxy }));
  } finally {
    for (const child of children.reverse()) await end(child, 10000);
    for (const each of proxies) each.server.close();
    fs.rmSync(home, { recursive: true, force: true });
  }
}

const listen = (name) => withStation(name, async ({ browser, tunnel, start }) => {
  let { port, stop } = await start();
  const onAir = Date.now();
  const page = await openPage(browser, `${tunnel.base}/#k=pw`);
  await comes(page, (s) => s.title === "Harbour Lights", 10000,
              "the page shows the station's track (the passcode of the fragment was sent)");
  // Once the station has a whole burst to give, so that the listener
  // plays seconds behind it, as listeners do.
  await sleep(Math.max(0, onAir + 8000 - Date.now()));
  const tapped = Date.now();
  await page.click("#play");
  const started = await shows(page, (s) => s.time > 0, 5000, 20);
  const took = Date.now() - tapped;
  check(started && took <= 1500, `plays within 1.5 s of the tap (${took} ms)`);
  check(await advances(page, 3), "the audio element's time advances for 3 s");
  const playing = await state(page);
  check(playing.note === "", "no note while playing");
  check(playing.playerLink === `${tunnel.base}/listen.m3u?k=pw`,
        "the player link carries the passcode in its query");
  check(tunnel.delivered.startsOnFrame, "the stream starts on an ADTS frame");
  await page.setViewport({ width: 320, height: 640 });
  check((await state(page)).scrollWidth <= 320, "nothing is wider than 320 px");
  await screenshot(page, "playing", name);

  await changeTrack(page, port, tunnel, "on the station's stream", 2);
  await comes(page, (s) => s.session === "Night Ferry", 2000, "the lock-screen metadata follows");
  check(tunnel.streams.get(port) === 1, `one stream request so far (${tunnel.streams.get(port)})`);

  // A locked screen without the passcode, and with a wrong one.
  for (const fragment of ["", "#k=wrong"]) {
    const stranger = await openPage(browser, `${tunnel.base}/${fragment}`);
    await comes(stranger, (s) => s.lockedLine === LOCKED, 8000,
                `locked screen for ${fragment || "no passcode"}`);
    if (fragment) await screenshot(stranger, "locked", name);
    await stranger.close();
  }

  // The station restarts: the page plays again by itself, counted once, on
  // one new stream.
  await stop();
  ({ port, stop } = await start());
  const carried = () => tunnel.streams.get(port) >= 1;
  check(await plays(page, 30000, carried), "after a restart the page plays again by itself");
  await sleep(3000);
  check((await now(port)).listeners === 1, "and is counted once");
  check(tunnel.streams.get(port) === 1,
        `one stream request after the reconnect (${tunnel.streams.get(port)})`);

  // The station stops: the off-air line within 20 s, still retrying; back
  // on air, the page plays again without a reload.
  await stop();
  await comes(page, (s) => s.note === OFF_AIR && s.button === "Stop waiting", 20000,
              "the off-air line within 20 s, its button waiting, not offering to pause");
  await screenshot(page, "off-air", name);
  ({ port, stop } = await start(["--maxListeners=1"]));
  check(await plays(page, 30000, carried), "back on air, the page plays again by itself");

  // Full: another listener holds the only place when the page reconnects
  // (the page's streams wait at the tunnel until the holder is counted).
  let open;
  tunnel.gate = new Promise((done) => (open = done));
  tunnel.cut();
  await waitFor(async () => (await now(port)).listeners === 0, 5000, 20);
  const holder = http.get({ host: "127.0.0.1", port, path: "/stream?k=pw&l=holder" });
  holder.on("error", () => {});
  await waitFor(async () => (await now(port)).listeners === 1, 5000, 20);
  tunnel.gate = null;
  open();
  await comes(page, (s) => s.note === FULL, 15000, "the full line");
  await screenshot(page, "full", name);
  holder.destroy();
  check(await plays(page, 20000), "a place frees up: the page plays again after its Retry-After");

  // The tunnel has too many requests in flight: full too, and back after
  // its Retry-After.
  tunnel.tooMany = true;
  tunnel.cut();
  await comes(page, (s) => s.note === FULL, 15000, "the full line when the tunnel answers 429");
  tunnel.tooMany = false;
  check(await plays(page, 20000), "the page plays again once the tunnel lets it through");
});

// The station relayed to a real Icecast server (started by the C++ side at
// ICECAST_PORT), reached through a proxy that measures what it delivers: the
// page plays from the relay, shows a change when it is heard there, and falls
// back to the station's own stream when the relay is gone.
const relay = (name) => withStation(name, async ({ browser, tunnel, start, home, proxy }) => {
  const relayProxy = await proxy(Number(process.env.ICECAST_PORT));
  const relayURL = `${relayProxy.base}/live`;
  // The source password where the keychain keeps it without a keyring.
  fs.writeFileSync(path.join(home, "data/lantern-fm/relay.password"), "hackme", { mode: 0o600 });
  const { port } = await start([`--relayURL=icecast://127.0.0.1:${process.env.ICECAST_PORT}/live`,
                                `--relayListenURL=${relayURL}`]);
  const said = await waitFor(() => now(port).then((info) =>
    info.relay === relayURL && typeof info.relayBurst === "number" && info), 20000);
  if (!check(said, "the station names its relay and how much it bursts")) return;
  console.log(`the relay's burst: ${said.relayBurst} s`);
  const page = await openPage(browser, `${tunnel.base}/#k=pw`);
  await comes(page, (s) => s.title === "Harbour Lights", 10000,
              "the page shows the station's track");
  await page.click("#play");
  await comes(page, (s) => s.time > 0, 8000, "the page plays");
  const { source } = await state(page);
  check(source === relayURL, `from the relay (${source})`);
  check(await advances(page, 3), "and keeps playing");
  check(!tunnel.streams.get(port), "nothing streams through the station's tunnel");
  await changeTrack(page, port, relayProxy, "from the relay");

  // The relay goes away: the station's own stream, through its tunnel.
  relayProxy.down = true;
  relayProxy.cut();
  check(await plays(page, 30000, () => tunnel.streams.get(port) >= 1),
        "without the relay the page plays the station's own stream");
  await screenshot(page, "relayed", name);
});

// Catch-up: a song aired earlier plays from its top, Earlier's button or
// From the Top, with its title and how far behind live; Back to Live returns.
const catchup = (name) => withStation(name, async ({ browser, tunnel, start }) => {
  const { port } = await start();
  const page = await openPage(browser, `${tunnel.base}/#k=pw`);
  await comes(page, (s) => s.title === "Harbour Lights", 10000, "the page shows the station's track");
  await page.click("#play");
  await sleep(10000);
  bus(`--dest=${MPRIS}`, "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2.Player.Next");
  await comes(page, (s) => s.title === "Night Ferry", 15000, "live, the next track shows");
  // Plays Harbour Lights from its top by `press`: the stream asked for is its start.
  const fromTop = async (what, press) => {
    const history = await fetch(`http://127.0.0.1:${port}/history?k=pw`).then((r) => r.json());
    const top = history.tracks.find((track) => track.title === "Harbour Lights").startedAgo;
    await press();
    const heard = await shows(page, (s) => s.title === "Harbour Lights" &&
      s.session === "Harbour Lights" && /^\d+ s behind$/.test(s.behind) && s.time > 0, 10000);
    const asked = Number(new URL(tunnel.streamPaths.at(-1), tunnel.base).searchParams.get("behind"));
    check(heard && Math.abs(asked - top) <= 1.5, `${what} asks for the song's top and shows it, ${
      heard?.behind} (behind=${asked}, it began ${top} s ago)`);
  };
  await fromTop("Earlier's button", async () => (await waitFor(async () => (await page.evaluateHandle(
    () => [...document.querySelectorAll("#earlier-list li")].find((row) => row.querySelector(
      ".song").textContent === "Harbour Lights")?.querySelector("button[data-track]"))).asElement(),
    10000, 250)).click());
  const before = (await state(page)).time;
  await sleep(6000);
  check((await state(page)).time - before >= 5.5, "behind live, it plays at real time");
  await screenshot(page, "catchup", name);
  await fromTop("From the Top", () => page.click("#from-top"));
  await page.click("#to-live");
  await comes(page, (s) => s.title === "Night Ferry" && s.behind === false && s.time > 0, 10000,
              "Back to Live: Night Ferry plays and no behind line");
  check(!/[?&]behind=/.test(tunnel.streamPaths.at(-1)), "on the live stream again");
});

// Together: two listeners on one station. One takes a hostile name and
// reacts; the other shows the name as text and the reaction rising within
// one /now period, with a polite summary for screen readers. With the
// switch off, the page shows no controls.
const together = (name) => withStation(name, async ({ browser, tunnel, start }) => {
  const station = await start();
  const sam = await openPage(browser, `${tunnel.base}/#k=pw`);
  const alex = await openPage(browser, `${tunnel.base}/#k=pw`);
  for (const page of [sam, alex]) {
    await page.click("#play");
    await comes(page, (s) => s.playing && s.time > 0.5, 15000, "a listener plays");
  }
  const hostile = "<img src=x onerror=window.pwned=1>\u202eSam";
  const shown = hostile.slice(0, 24);
  await sam.$eval("#name", (input, text) => {
    input.value = text;
    input.dispatchEvent(new Event("change"));
  }, hostile);
  const who = (page) => page.evaluate(() => ({ text: document.getElementById("who").textContent,
    markup: document.querySelector("#together img") !== null || window.pwned === 1 }));
  const named = await waitFor(async () => (await who(alex)).text.startsWith(shown), 8000);
  const line = await who(alex);
  check(named && line.text === `${shown} and 1 more listening` && !line.markup,
        `the other listener shows the name as text: "${line.text}"`);
  await alex.evaluate(() => {
    window.risen = [];
    new MutationObserver((changes) => changes.forEach((change) => change.addedNodes.forEach(
      (node) => window.risen.push([Date.now(), node.textContent])))).observe(
      document.getElementById("floats"), { childList: true });
  });
  const [clicked, own] = await sam.evaluate(() => {
    const at = Date.now();
    document.querySelector('.react[data-r="fire"]').click();
    return [at, document.getElementById("floats").textContent];
  });
  check(own === "\ud83d\udd25", "the listener's own reaction rises at once");
  const risen = await waitFor(() => alex.evaluate(() => window.risen[0]), 6000, 50);
  check(risen && risen[1] === "\ud83d\udd25" && risen[0] - clicked <= 4000,
        `the other listener sees it rise within one /now period (${risen && risen[0] - clicked} ms)`);
  const summary = await alex.evaluate(() => document.getElementById("summary").textContent);
  check(summary === "Listeners reacted: 1 fire", `screen readers hear "${summary}"`);
  await screenshot(alex, "together", name);

  await station.stop();
  await start(["--showAudience=false"]);
  await alex.reload();
  await comes(alex, (s) => s.title === "Harbour Lights", 15000, "the page shows the station again");
  check(await alex.evaluate(() => document.getElementById("together").hidden),
        "with the switch off, no names or reactions");
});

// The light stream. With Data Saver the page asks for Opus, or for light AAC
// where Opus does not play, and plays it in real time. On a slow link (Chromium
// only: it emulates one) the station moves the full stream to light AAC and
// the page plays through and says so; a listener on a good link keeps the
// full stream.
const light = (name) => withStation(name, async ({ browser, tunnel, start, proxy }) => {
  await start();
  const form = (through) => new URL(through.streamPaths.at(-1) ?? "/", through.base)
    .searchParams.get("light");
  const saver = async (page) => {
    await waitFor(() => page.evaluate(() => !document.getElementById("saving").hidden), 10000);
    await page.click("#saving");
  };
  const lighterNote = (page) => page.evaluate(() => document.getElementById("lighter").textContent);
  // The audio's pace over `seconds`: seconds played per second.
  const pace = async (page, seconds) => {
    const [before, at] = [(await state(page)).time, Date.now()];
    await sleep(seconds * 1000);
    const after = await state(page);
    return after.paused ? 0 : (after.time - before) / ((Date.now() - at) / 1000);
  };
  const realTime = async (page, what) => {
    const ratio = await pace(page, 8);
    check(ratio >= 0.9 && ratio <= 1.1, `${what}, in real time (${ratio.toFixed(2)} s a second)`);
  };

  if (name === "firefox") {
    // Switched on, kept over a reload.
    const page = await openPage(browser, `${tunnel.base}/#k=pw`);
    await saver(page);
    await page.reload();
    await comes(page, (s) => s.title === "Harbour Lights", 10000, "the page shows the station again");
    await page.click("#play");
    await comes(page, (s) => s.time > 0, 10000, "the page plays");
    check(form(tunnel) === "opus", `Data Saver, kept over a reload, asks for light=opus (${
      tunnel.streamPaths.at(-1)})`);
    return realTime(page, "and plays it");
  }

  // Opus refused: light AAC.
  const noOpus = await openPage(browser, `${tunnel.base}/#k=pw`, (page) =>
    page.evaluateOnNewDocument(() => {
      const canPlay = HTMLMediaElement.prototype.canPlayType;
      HTMLMediaElement.prototype.canPlayType = function (type) {
        return /ogg|opus/i.test(type) ? "" : canPlay.call(this, type);
      };
    }));
  await saver(noOpus);
  await noOpus.click("#play");
  await comes(noOpus, (s) => s.time > 0, 10000, "without Opus the page plays");
  check(form(tunnel) === "1",
        `without Opus, Data Saver asks for light=1 (${tunnel.streamPaths.at(-1)})`);
  await realTime(noOpus, "and plays it");
  await noOpus.close();

  // Switched on while the full stream plays, once the station has a whole
  // burst: the page moves to Opus at the lag it played at, which it keeps
  // telling the station (Ogg's clock may count from the station's start).
  const page = await openPage(browser, `${tunnel.base}/#k=pw`);
  const lags = [];
  page.on("request", (request) => {
    const url = new URL(request.url());
    if (url.pathname === "/now" && url.searchParams.has("l"))
      lags.push(Number(url.searchParams.get("lag")));
  });
  await page.click("#play");
  await comes(page, (s) => s.time > 0, 10000, "the page plays");
  const polled = lags.length;
  await waitFor(() => lags.length > polled, 5000);
  const before = lags.at(-1);
  await saver(page);
  const moved = await shows(page, (s) => form(tunnel) === "opus" && s.playing && s.time > 0, 10000);
  check(moved, `Data Saver switched on while playing asks for light=opus (${
    tunnel.streamPaths.at(-1)})`);
  await realTime(page, "and plays it");
  check(Math.abs(lags.at(-1) - before) <= 1,
        `at the same lag (${before} s before, ${lags.at(-1)} s after)`);
  await screenshot(page, "data-saver", name);
  await page.close();

  // On a link that carries the full stream (1 Mbit/s), the page keeps it.
  const link = (kbits) => (page) => page.createCDPSession().then(async (cdp) => {
    await cdp.send("Network.enable");
    await cdp.send("Network.emulateNetworkConditions", { offline: false, latency: 150,
      downloadThroughput: kbits * 1000 / 8, uploadThroughput: kbits * 1000 / 8 });
  });
  const fast = await proxy(tunnel.target);
  const streamsBefore = tunnel.streamPaths.length;
  const slowPage = await openPage(browser, `${tunnel.base}/#k=pw`, link(150));
  const fastPage = await openPage(browser, `${fast.base}/#k=pw`, link(1000));
  for (const page of [slowPage, fastPage]) {
    await page.click("#play");
    check(await shows(page, (s) => s.time > 0, 20000, 50), "a listener plays");
  }
  // Stalled: the time, sampled every quarter second over 40 s, that the
  // audio did not advance.
  const stalled = [0, 0], last = [null, null];
  for (const end = Date.now() + 40000; Date.now() < end; await sleep(250)) {
    const states = await Promise.all([slowPage, fastPage].map(state));
    states.forEach((s, i) => {
      if (last[i] !== null && (s.paused || !(s.time > last[i]))) stalled[i] += 0.25;
      last[i] = s.time;
    });
  }
  const [slow, good] = stalled;
  check(slow <= 5, `on 150 kbit/s the page plays through (${slow.toFixed(1)} s stalled in 40 s)`);
  // The station moved it to the light stream; where Opus plays, the page went on in it.
  check(await lighterNote(slowPage) === "Lighter sound for a weak connection" &&
        form(tunnel) === "opus",
        `and says "${await lighterNote(slowPage)}", now on Opus (${
          tunnel.streamPaths.slice(streamsBefore).join(" ")})`);
  await screenshot(slowPage, "lighter", name);
  check(good <= 1 && form(fast) === null && await lighterNote(fastPage) === "",
        `on 1 Mbit/s the full stream plays on (${good.toFixed(1)} s stalled, ${
          fast.streamPaths.at(-1)}, note "${await lighterNote(fastPage)}")`);
});

const visit = (name, url, station, title, landing) => withBrowser(name, async (browser) => {
  const page = await openPage(browser, url);
  await comes(page, (s) => s.url.startsWith(landing) && s.station === station && s.title === title,
              15000, `landed on ${landing} showing ${station} and ${title}`);
  await page.click("#play");
  await comes(page, (s) => s.time > 1, 15000, "the audio plays");
});

const [command, name, ...rest] = process.argv.slice(2);
try {
  const scenario = { listen, relay, catchup, together, light, visit }[command];
  if (!scenario) {
    throw new Error("usage: page_test.mjs listen|relay|catchup|together|light|visit BROWSER ...");
  }
  await scenario(name, ...rest);
} catch (error) {
  check(false, error?.stack ?? error);
}
console.log(failures.length ? `${failures.length} failed` : "all passed");
process.exit(failures.length ? 1 : 0);
