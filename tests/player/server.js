// A static HTTP server on 127.0.0.1 for the player page, hls.js and one HLS
// package. Players resolve the key URI against the variant playlist, so the key
// has to come from the same origin as the playlists: the package is served
// under /package/, its key included.
'use strict';

const fs = require('fs');
const http = require('http');
const path = require('path');

const PAGE_FILES = {
  '/': path.join(__dirname, 'index.html'),
  '/index.html': path.join(__dirname, 'index.html'),
  '/player.js': path.join(__dirname, 'player.js'),
  '/page-record.js': path.join(__dirname, 'page-record.js'),
  '/hls.min.js': path.join(path.dirname(require.resolve('hls.js')), 'hls.min.js'),
  // A second, independent player of the same packages.
  '/shaka.html': path.join(__dirname, 'shaka.html'),
  '/shaka-page.js': path.join(__dirname, 'shaka-page.js'),
  '/shaka-player.compiled.js': require.resolve('shaka-player/dist/shaka-player.compiled.js'),
};

const CONTENT_TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.m3u8': 'application/vnd.apple.mpegurl',
  '.ts': 'video/mp2t',
  '.vtt': 'text/vtt; charset=utf-8',
  '.key': 'application/octet-stream',
};

// A relative key URI of the package's variant playlists: players fetch it
// from beside them, so it is served from there.
const KEY_URI = /#EXT-X-KEY:[^\n]*URI="([^"]+)"/g;

// The relative key URIs that the playlists in `directory` name.
function keyNames(directory) {
  const names = new Set();
  let entries = [];
  try {
    entries = fs.readdirSync(directory);
  } catch {
    return names;
  }
  for (const entry of entries) {
    if (path.extname(entry) !== '.m3u8') continue;
    const text = fs.readFileSync(path.join(directory, entry), 'utf8');
    for (const match of text.matchAll(KEY_URI)) {
      if (!/^[a-z][a-z0-9+.-]*:|^\//i.test(match[1])) names.add(match[1]);
    }
  }
  return names;
}

// Whether a playlist in the package names the key at `relative` (a path in
// the package), by a URI relative to the playlist's own directory.
function isNamedKey(packageDir, relative) {
  const parts = relative.split('/');
  for (let depth = 0; depth < parts.length; depth += 1) {
    const directory = path.join(packageDir, ...parts.slice(0, depth));
    if (keyNames(directory).has(parts.slice(depth).join('/'))) return true;
  }
  return false;
}

// The file a request path names, or null when it is outside what is served:
// the package's playlists and segments (WebVTT too), and the keys its playlists name,
// taken from the package directory or, for a bare file name, from beside it
// (where the vantrel command keeps the key it makes). Nothing else there, a
// key info file or the source clip, is served.
function fileFor(urlPath, packageDir) {
  if (PAGE_FILES[urlPath]) return PAGE_FILES[urlPath];
  if (!packageDir || !urlPath.startsWith('/package/')) return null;
  let relative;
  try {
    relative = decodeURIComponent(urlPath.slice('/package/'.length));
  } catch {
    return null;
  }
  const file = path.resolve(packageDir, relative);
  if (!file.startsWith(packageDir + path.sep)) return null;
  if (['.m3u8', '.ts', '.vtt'].includes(path.extname(file))) return file;
  if (!isNamedKey(packageDir, relative)) return null;
  if (fs.existsSync(file) || relative.includes('/')) return file;
  return path.join(path.dirname(packageDir), relative);
}

function sendFile(response, file, method) {
  fs.stat(file, (statError, info) => {
    if (statError || !info.isFile()) {
      response.writeHead(404, { 'Content-Type': 'text/plain' });
      response.end('not found\n');
      return;
    }
    response.writeHead(200, {
      'Content-Type': CONTENT_TYPES[path.extname(file)] || 'application/octet-stream',
      'Content-Length': info.size,
      // Every run must see the files on disk now, never an earlier package.
      'Cache-Control': 'no-store',
    });
    if (method === 'HEAD') {
      response.end();
      return;
    }
    fs.createReadStream(file)
      .on('error', () => response.destroy())
      .pipe(response);
  });
}

// Resolves to the listening server; port 0 takes any free port. Without a
// package directory it serves the page alone, for a package served elsewhere.
function startServer(packageDir, port = 0) {
  const root = packageDir && path.resolve(packageDir);
  const server = http.createServer((request, response) => {
    let urlPath = null;
    try {
      urlPath = new URL(request.url, 'http://127.0.0.1').pathname;
    } catch {
      // A request line no URL parser takes is answered like any unknown path.
    }
    const servable = urlPath && (request.method === 'GET' || request.method === 'HEAD');
    const file = servable ? fileFor(urlPath, root) : null;
    if (!file) {
      response.writeHead(404, { 'Content-Type': 'text/plain' });
      response.end('not found\n');
      return;
    }
    sendFile(response, file, request.method);
  });
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', () => resolve(server));
  });
}

function addressOf(server) {
  return `http://127.0.0.1:${server.address().port}/`;
}

module.exports = { startServer, addressOf };
