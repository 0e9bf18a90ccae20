#!/usr/bin/env node
// Plays one HLS package in headless Chromium, holding each variant in turn, and
// prints one JSON line per variant: what the player page recorded.
//
//   node play.js PACKAGE_DIR [--goal SECONDS] [--timeout SECONDS] [--player hls.js|shaka]
//   node play.js --src URL [--port PORT] [--goal SECONDS] [--timeout SECONDS] [--player hls.js|shaka]
//                [--level N | --tracks --subtitles LANGUAGE [--audio LANGUAGE]]
//
// The package directory is served on 127.0.0.1 and its master.m3u8 is played,
// by hls.js (index.html) or by Shaka Player (shaka.html). With --src the page
// alone is served (on PORT, which the other server's CORS origin names) and
// plays the master playlist at URL. With --level only that variant is tried.
// With --tracks the page plays the audio and subtitle renditions instead
// (page-record.js's playTracks: it shows the subtitles of one language and
// switches to the sound of another) and prints the one line of that.
// The exit status is 0 whenever every variant was tried, whatever the player
// made of it; judging the lines is the caller's business.
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');
const { startServer, addressOf } = require('./server');

const CHROMIUM = process.env.VANTREL_CHROMIUM || '/usr/bin/chromium';
// Debian's Chromium, not a downloaded one. The machine has no outside network,
// so everything that would reach out on its own is switched off.
const CHROMIUM_FLAGS = [
  '--headless',
  '--no-sandbox',
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
  '--autoplay-policy=no-user-gesture-required',
];

function parseArguments(argv) {
  const options = {
    packageDir: null,
    src: null,
    port: 0,
    level: null,
    tracks: false,
    subtitles: null,
    audio: null,
    goal: 2,
    timeout: 30,
    page: '',
  };
  const pages = { 'hls.js': '', shaka: 'shaka.html' };
  let player = 'hls.js';
  for (let i = 0; i < argv.length; i += 1) {
    if (argv[i] === '--goal') options.goal = Number(argv[(i += 1)]);
    else if (argv[i] === '--timeout') options.timeout = Number(argv[(i += 1)]);
    else if (argv[i] === '--player') player = argv[(i += 1)];
    else if (argv[i] === '--src') options.src = argv[(i += 1)];
    else if (argv[i] === '--port') options.port = Number(argv[(i += 1)]);
    else if (argv[i] === '--level') options.level = Number(argv[(i += 1)]);
    else if (argv[i] === '--tracks') options.tracks = true;
    else if (argv[i] === '--subtitles') options.subtitles = argv[(i += 1)];
    else if (argv[i] === '--audio') options.audio = argv[(i += 1)];
    else options.packageDir = argv[i];
  }
  if (
    !options.packageDir === !options.src ||
    !(options.goal > 0) ||
    !(options.timeout > 0) ||
    !(player in pages) ||
    (options.tracks && (options.level !== null || !options.subtitles)) ||
    (!options.tracks && (options.subtitles || options.audio))
  ) {
    throw new Error(
      'usage: node play.js PACKAGE_DIR|--src URL [--port PORT] [--goal SECONDS] [--timeout SECONDS] ' +
        '[--player hls.js|shaka] [--level N | --tracks --subtitles LANGUAGE [--audio LANGUAGE]]',
    );
  }
  options.page = pages[player];
  return options;
}

// Opens the page holding one variant (or, for a level of null, playing the
// tracks scenario) and waits for the line it writes.
async function playLevel(context, address, level, options) {
  const page = await context.newPage();
  const consoleErrors = [];
  page.on('console', (message) => {
    if (message.type() === 'error') consoleErrors.push(message.text());
  });
  page.on('pageerror', (error) => consoleErrors.push(String(error)));
  try {
    let query = `?goal=${options.goal}&timeout=${options.timeout}`;
    if (level !== null) query += `&level=${level}`;
    else query += `&tracks&subtitles=${encodeURIComponent(options.subtitles)}`;
    if (options.audio) query += `&audio=${encodeURIComponent(options.audio)}`;
    if (options.src) query += `&src=${encodeURIComponent(options.src)}`;
    await page.goto(address + options.page + query);
    const result = page.locator('#result');
    // The page gives up by itself after its timeout; allow a little more.
    await result.filter({ hasText: /\S/ }).waitFor({ timeout: (options.timeout + 15) * 1000 });
    const record = JSON.parse(await result.textContent());
    record.consoleErrors = consoleErrors;
    return record;
  } finally {
    await page.close();
  }
}

async function main() {
  const options = parseArguments(process.argv.slice(2));
  if (options.packageDir && !fs.existsSync(path.join(options.packageDir, 'master.m3u8'))) {
    throw new Error(`no master.m3u8 in ${options.packageDir}`);
  }
  const server = await startServer(options.packageDir, options.port);
  const userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'vantrel-chromium-'));
  let context;
  try {
    context = await chromium.launchPersistentContext(userDataDir, {
      executablePath: CHROMIUM,
      headless: true,
      args: CHROMIUM_FLAGS,
    });
    if (options.tracks) {
      process.stdout.write(JSON.stringify(await playLevel(context, addressOf(server), null, options)) + '\n');
      return;
    }
    // Every variant in the master playlist, in its order; the first run
    // tells how many there are.
    let levelCount = options.level === null ? 1 : options.level + 1;
    for (let level = options.level || 0; level < levelCount; level += 1) {
      const record = await playLevel(context, addressOf(server), level, options);
      if (options.level === null) levelCount = Math.max(levelCount, record.levels.length);
      process.stdout.write(JSON.stringify(record) + '\n');
    }
  } finally {
    if (context) await context.close();
    server.close();
    fs.rmSync(userDataDir, { recursive: true, force: true });
  }
}

main().catch((error) => {
  process.stderr.write(`play.js: ${error.stack || error}\n`);
  process.exit(2);
});
