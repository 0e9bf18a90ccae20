// Plays an HLS package with Shaka Player and writes what happened into the
// page as one JSON line in #result, in the shape player.js writes for hls.js,
// so that the headless driver (play.js) reads both alike.
'use strict';

(async function () {
  const params = new URLSearchParams(location.search);
  const source = params.get('src') || 'package/master.m3u8';
  const forcedLevel = params.has('level') ? Number(params.get('level')) : -1;
  const goalSeconds = Number(params.get('goal') || 2);
  const timeoutSeconds = Number(params.get('timeout') || 30);

  const video = document.getElementById('video');
  const status = document.getElementById('status');
  const record = {
    outcome: null, // "played", "failed" or "timed out"
    forcedLevel,
    levels: [],
    keysLoaded: 0,
    fragments: [],
    errors: [],
    currentTime: 0,
    videoWidth: 0,
    videoHeight: 0,
  };

  function finish(outcome) {
    if (record.outcome) return;
    record.outcome = outcome;
    record.currentTime = video.currentTime;
    record.videoWidth = video.videoWidth;
    record.videoHeight = video.videoHeight;
    document.getElementById('result').textContent = JSON.stringify(record);
  }

  function fail(type, details) {
    record.errors.push({ type, details, fatal: true, reason: '', currentTime: video.currentTime, buffered: [] });
    finish('failed');
  }

  shaka.polyfill.installAll();
  if (!shaka.Player.isBrowserSupported()) {
    fail('setup', 'Shaka Player cannot play here');
    return;
  }
  const player = new shaka.Player();
  player.addEventListener('error', (event) => {
    const error = event.detail;
    fail(`shaka ${error.category}`, `code ${error.code}`);
  });
  player.getNetworkingEngine().registerResponseFilter((type, response) => {
    // AES-128 keys arrive as plain responses of the key's URI.
    if (type === shaka.net.NetworkingEngine.RequestType.KEY) record.keysLoaded += 1;
    if (type === shaka.net.NetworkingEngine.RequestType.SEGMENT) record.fragments.push({ uri: response.uri });
  });
  video.addEventListener('timeupdate', () => {
    status.textContent = `${video.videoWidth}x${video.videoHeight}, ${video.currentTime.toFixed(1)} s`;
    if (video.currentTime > goalSeconds) finish('played');
  });
  setTimeout(() => finish('timed out'), timeoutSeconds * 1000);

  try {
    await player.attach(video);
    await player.load(source);
  } catch (error) {
    fail('load', `code ${error.code}: ${error.message || ''}`);
    return;
  }
  const variants = player.getVariantTracks().sort((a, b) => a.bandwidth - b.bandwidth);
  record.levels = variants.map((track) => ({
    width: track.width,
    height: track.height,
    bitrate: track.bandwidth,
  }));
  if (forcedLevel >= 0 && forcedLevel < variants.length) {
    player.configure({ abr: { enabled: false } });
    player.selectVariantTrack(variants[forcedLevel], /* clearBuffer= */ true);
  }
  video.play().catch((error) => fail('play', String(error)));
})();
