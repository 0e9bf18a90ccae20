// Plays an HLS package with hls.js and writes what happened into the page as
// one JSON line in #result, for the headless driver (play.js) to read.
//
// Query parameters: src (playlist URL, default package/master.m3u8), level
// (hold that variant, numbered by bitrate from 0; absent: hls.js picks by
// bandwidth), goal (seconds of playback that count as playing, default 2),
// timeout (seconds, default 30).
'use strict';

(function () {
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

  // The first outcome is the one reported; playback goes on for a watcher.
  function finish(outcome) {
    if (record.outcome) return;
    record.outcome = outcome;
    record.currentTime = video.currentTime;
    record.videoWidth = video.videoWidth;
    record.videoHeight = video.videoHeight;
    document.getElementById('result').textContent = JSON.stringify(record);
  }

  // The buffered time ranges, which tell where a hole was.
  function bufferedRanges() {
    const ranges = [];
    for (let i = 0; i < video.buffered.length; i += 1) {
      ranges.push([video.buffered.start(i), video.buffered.end(i)]);
    }
    return ranges;
  }

  function fail(type, details) {
    record.errors.push({ type, details, fatal: true, reason: '', currentTime: video.currentTime, buffered: bufferedRanges() });
    finish('failed');
  }

  if (typeof Hls === 'undefined' || !Hls.isSupported()) {
    fail('setup', 'hls.js or Media Source Extensions unavailable');
    status.textContent = 'failed: hls.js cannot play here';
    return;
  }

  const hls = new Hls({
    // Without a forced level the first variant starts, as in any player.
    startLevel: forcedLevel >= 0 ? forcedLevel : undefined,
    // The page's small video element must not rule out the larger variants.
    capLevelToPlayerSize: false,
  });

  hls.on(Hls.Events.MANIFEST_PARSED, (event, data) => {
    record.levels = data.levels.map((level) => ({
      width: level.width,
      height: level.height,
      bitrate: level.bitrate,
    }));
    // Setting loadLevel switches automatic selection off.
    if (forcedLevel >= 0) hls.loadLevel = forcedLevel;
    video.play().catch((error) => fail('play', String(error)));
  });
  hls.on(Hls.Events.KEY_LOADED, () => {
    record.keysLoaded += 1;
  });
  hls.on(Hls.Events.FRAG_BUFFERED, (event, data) => {
    if (data.frag.type === 'main') record.fragments.push({ level: data.frag.level, sn: data.frag.sn });
  });
  hls.on(Hls.Events.ERROR, (event, data) => {
    record.errors.push({
      type: data.type,
      details: data.details,
      fatal: data.fatal,
      reason: String(data.reason || (data.error && data.error.message) || ''),
      currentTime: video.currentTime,
      buffered: bufferedRanges(),
    });
    if (data.fatal) finish('failed');
  });

  video.addEventListener('timeupdate', () => {
    status.textContent =
      `variant ${hls.currentLevel} (${video.videoWidth}x${video.videoHeight}), ` +
      `${video.currentTime.toFixed(1)} s`;
    if (video.currentTime > goalSeconds) finish('played');
  });
  setTimeout(() => finish('timed out'), timeoutSeconds * 1000);

  hls.loadSource(source);
  hls.attachMedia(video);
})();
