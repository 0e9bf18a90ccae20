#!/usr/bin/env node
// Plays one HLS package in a browser through `vantrel serve`, until
// interrupted: the player page on 127.0.0.1, and the package served by
// `vantrel serve` from its parent directory with a secret made for this run
// alone, so that the key goes only to the token this run prints.
//
//   node watch.js PACKAGE_DIR --vantrel PATH [--port PORT]
//
// PATH is the vantrel command of an environment with the serve extra; PORT is
// the page's (8000 by default, 0 for any free port); `vantrel serve` takes any
// free port and lets the page's origin fetch from it.
'use strict';

const childProcess = require('child_process');
const crypto = require('crypto');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { startServer, addressOf } = require('./server');

// Long enough for any one sitting; the secret dies with the run anyway.
const TOKEN_SECONDS = 24 * 3600;

function parseArguments(argv) {
  const options = { packageDir: null, vantrel: null, port: 8000 };
  for (let i = 0; i < argv.length; i += 1) {
    if (argv[i] === '--port') options.port = Number(argv[(i += 1)]);
    else if (argv[i] === '--vantrel') options.vantrel = argv[(i += 1)];
    else options.packageDir = argv[i];
  }
  const { port } = options;
  if (!options.packageDir || !options.vantrel || !Number.isInteger(port) || port < 0 || port > 65535) {
    throw new Error('usage: node watch.js PACKAGE_DIR --vantrel PATH [--port PORT]');
  }
  if (!fs.existsSync(path.join(options.packageDir, 'master.m3u8'))) {
    throw new Error(`no master.m3u8 in ${options.packageDir}`);
  }
  return options;
}

// Starts `vantrel serve` and resolves to it and its address, from the line it
// prints once it listens.
function startDelivery(options, secretFile, origin) {
  const root = path.dirname(path.resolve(options.packageDir));
  const server = childProcess.spawn(
    options.vantrel,
    ['serve', root, '--secret-file', secretFile, '--port', '0', '--allow-origin', origin],
    { stdio: ['ignore', 'pipe', 'inherit'] },
  );
  return new Promise((resolve, reject) => {
    let printed = '';
    server.once('error', reject);
    server.once('exit', (code) => reject(new Error(`vantrel serve ended with status ${code}`)));
    server.stdout.on('data', (chunk) => {
      printed += chunk;
      const address = /at (http:\/\/\S+\/) /.exec(printed);
      if (address) resolve({ server, address: address[1] });
    });
  });
}

function makeToken(options, secretFile) {
  return childProcess
    .execFileSync(options.vantrel, [
      'token', options.packageDir, '--secret-file', secretFile, '--ttl', String(TOKEN_SECONDS),
    ])
    .toString()
    .trim();
}

async function main() {
  const options = parseArguments(process.argv.slice(2));
  const secretDir = fs.mkdtempSync(path.join(os.tmpdir(), 'vantrel-watch-'));
  const secretFile = path.join(secretDir, 'secret');
  fs.writeFileSync(secretFile, crypto.randomBytes(32), { mode: 0o600 });
  let page = null;
  let delivery = null;
  let stopping = false;
  // Ends with `vantrel serve` gone, so that nothing of the run outlives it.
  const stop = (status) => {
    stopping = true;
    if (page) page.close();
    fs.rmSync(secretDir, { recursive: true, force: true });
    const child = delivery && delivery.server;
    if (!child || child.exitCode !== null || child.signalCode !== null) process.exit(status);
    child.once('exit', () => process.exit(status));
    child.kill('SIGTERM');
    setTimeout(() => child.kill('SIGKILL'), 5000).unref();
  };
  process.on('SIGINT', () => stop(0));
  process.on('SIGTERM', () => stop(0));
  try {
    page = await startServer(null, options.port);
    const pageAddress = addressOf(page);
    delivery = await startDelivery(options, secretFile, pageAddress.replace(/\/$/, ''));
    delivery.server.once('exit', (code) => {
      if (stopping) return;
      process.stderr.write(`watch.js: vantrel serve ended with status ${code}\n`);
      stop(2);
    });
    const master = delivery.address + makeToken(options, secretFile).replace(/^\//, '');
    const watch = `${pageAddress}?src=${encodeURIComponent(master)}`;
    process.stdout.write(
      `Serving ${path.resolve(options.packageDir)} through vantrel serve at ${delivery.address}\n` +
        `Watch it at ${watch}\n` +
        'Hold one variant by adding &level=0 (0 is the lowest bitrate).\n' +
        'Press Ctrl-C to stop.\n',
    );
  } catch (error) {
    process.stderr.write(`watch.js: ${error.message}\n`);
    stop(2);
  }
}

main();
