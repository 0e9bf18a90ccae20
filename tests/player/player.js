// Plays an HLS package with hls.js and records what happened (page-record.js).
'use strict';

(function () {
  const { settings, video, record, finish, fail, bufferedRanges, watch, playTracks } = window.playbackPage;
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
    if (!settings.tracks) video.play().catch((error) => fail('play', String(error)));
  });
  // hls.js lists the renditions of the variant's groups once it loads the variant.
  hls.once(Hls.Events.LEVEL_LOADED, () => {
    if (settings.tracks) playTracks(tracksOf(hls)).catch((error) => fail('tracks', String(error)));
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

  // hls.js's renditions as the tracks scenario lists and selects them.
  function tracksOf(hls) {
    const describe = (track) => ({
      name: track.name,
      language: track.lang,
      default: track.default,
      describesVideo: (track.characteristics || '').includes('public.accessibility.describes-video'),
    });
    return {
      audioTracks: () => hls.audioTracks.map(describe),
      subtitleTracks: () => hls.subtitleTracks.map(describe),
      selectAudio: (index) => {
        hls.audioTrack = index;
      },
      selectSubtitles: (index) => {
        hls.subtitleTrack = index;
      },
    };
  }

  if (!settings.tracks) watch(
    () =>
      `variant ${hls.currentLevel} (${video.videoWidth}x${video.videoHeight}), ` +
      `${video.currentTime.toFixed(1)} s`,
  );

  hls.loadSource(source);
  hls.attachMedia(video);
})();
