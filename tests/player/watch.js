#!/usr/bin/env node
// Serves one HLS package with the player page on 127.0.0.1 until interrupted,
// so that a person can watch it in a browser.
//
//   node watch.js PACKAGE_DIR [--port PORT]
'use strict';

const fs = require('fs');
const path = require('path');
const { startServer, addressOf } = require('./server');

async function main() {
  const argv = process.argv.slice(2);
  let packageDir = null;
  let port = 8000;
  for (let i = 0; i < argv.length; i += 1) {
    if (argv[i] === '--port') port = Number(argv[(i += 1)]);
    else packageDir = argv[i];
  }
  if (!packageDir || !Number.isInteger(port) || port < 0 || port > 65535) {
    throw new Error('usage: node watch.js PACKAGE_DIR [--port PORT]');
  }
  if (!fs.existsSync(path.join(packageDir, 'master.m3u8'))) {
    throw new Error(`no master.m3u8 in ${packageDir}`);
  }
  const server = await startServer(packageDir, port);
  const address = addressOf(server);
  process.stdout.write(
    `Serving ${path.resolve(packageDir)} on 127.0.0.1.\n` +
      `Watch it at ${address}\n` +
      `Hold one variant with ${address}?level=0 (0 is the lowest bitrate).\n` +
      'Press Ctrl-C to stop.\n',
  );
  const stop = () => server.close(() => process.exit(0));
  process.on('SIGINT', stop);
  process.on('SIGTERM', stop);
}

main().catch((error) => {
  process.stderr.write(`watch.js: ${error.message}\n`);
  process.exit(2);
});
