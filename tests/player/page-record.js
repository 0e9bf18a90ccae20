// What both player pages share: their query parameters, and the record of
// what happened that each writes into the page as one JSON line in #result,
// for the headless driver (play.js) to read.
//
// Query parameters: src (playlist URL, default package/master.m3u8), level
// (hold that variant, numbered by bitrate from 0; absent: the player picks by
// bandwidth), goal (seconds of playback that count as playing, default 2),
// timeout (seconds, default 30).
'use strict';

window.playbackPage = (function () {
  const params = new URLSearchParams(location.search);
  const video = document.getElementById('video');
  const settings = {
    source: params.get('src') || 'package/master.m3u8',
    forcedLevel: params.has('level') ? Number(params.get('level')) : -1,
    goalSeconds: Number(params.get('goal') || 2),
    timeoutSeconds: Number(params.get('timeout') || 30),
  };
  const record = {
    outcome: null, // "played", "failed" or "timed out"
    forcedLevel: settings.forcedLevel,
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

  // Playing past the goal is playing; nothing by the timeout is a timeout.
  function watch(describe) {
    video.addEventListener('timeupdate', () => {
      document.getElementById('status').textContent = describe();
      if (video.currentTime > settings.goalSeconds) finish('played');
    });
    setTimeout(() => finish('timed out'), settings.timeoutSeconds * 1000);
  }

  return { settings, video, record, finish, fail, bufferedRanges, watch };
})();
