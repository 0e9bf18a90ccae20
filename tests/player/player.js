// Plays an HLS package with hls.js and records what happened (page-record.js).
'use strict';

(function () {
  const { settings, video, record, finish, fail, bufferedRanges, watch } = window.playbackPage;
  const { source, forcedLevel } = settings;
  const status = document.getElementById('status');

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

  watch(
    () =>
      `variant ${hls.currentLevel} (${video.videoWidth}x${video.videoHeight}), ` +
      `${video.currentTime.toFixed(1)} s`,
  );

  hls.loadSource(source);
  hls.attachMedia(video);
})();
