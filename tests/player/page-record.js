// What both player pages share: their query parameters, and the record of
// what happened that each writes into the page as one JSON line in #result,
// for the headless driver (play.js) to read.
//
// Query parameters: src (playlist URL, default package/master.m3u8), level
// (hold that variant, numbered by bitrate from 0; absent: the player picks by
// bandwidth), goal (seconds of playback that count as playing, default 2),
// timeout (seconds, default 30), tracks (present: play the tracks scenario,
// playTracks below, instead of holding a variant), subtitles (the language of
// the subtitles it shows) and audio (the language of the sound it switches to;
// absent: no switch).
'use strict';

window.playbackPage = (function () {
  const params = new URLSearchParams(location.search);
  const video = document.getElementById('video');
  const settings = {
    source: params.get('src') || 'package/master.m3u8',
    forcedLevel: params.has('level') ? Number(params.get('level')) : -1,
    goalSeconds: Number(params.get('goal') || 2),
    timeoutSeconds: Number(params.get('timeout') || 30),
    tracks: params.has('tracks'),
    subtitles: params.get('subtitles'),
    audio: params.get('audio'),
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

  // The players' video buffers, whose start is where each player's timeline
  // puts the first picture (as a frame callback tells of the picture shown,
  // but that can miss a picture shown at load on a busy machine).
  const videoBuffers = [];
  if (settings.tracks) {
    const addSourceBuffer = MediaSource.prototype.addSourceBuffer;
    MediaSource.prototype.addSourceBuffer = function (type) {
      const buffer = addSourceBuffer.call(this, type);
      if (type.startsWith('video/')) videoBuffers.push(buffer);
      return buffer;
    };
  }

  // The strongest frequency the analyser hears now, in Hz; null in silence.
  function dominantFrequency(analyser) {
    const levels = new Float32Array(analyser.frequencyBinCount);
    analyser.getFloatFrequencyData(levels);
    let peak = 1;
    for (let i = 2; i < levels.length - 1; i += 1) if (levels[i] > levels[peak]) peak = i;
    if (!(levels[peak] > -100)) return null;
    // The parabola through the peak and its neighbours finds it between bins.
    const [a, b, c] = [levels[peak - 1], levels[peak], levels[peak + 1]];
    const shift = (a - c) / (2 * (a - 2 * b + c)) || 0;
    return ((peak + shift) * analyser.context.sampleRate) / analyser.fftSize;
  }

  function waitFor(condition) {
    return new Promise((resolve) => {
      const check = () => {
        if (condition()) resolve();
        else setTimeout(check, 50);
      };
      check();
    });
  }

  // The tracks scenario, the same for every player: `player` lists its audio
  // and subtitle renditions as {name, language, default, describesVideo} and
  // selects one by its index in that list. With the subtitles of the asked
  // language on, playback runs to the goal, then switches to the asked sound
  // and runs as long again. The record tells the renditions, the sound's
  // strongest frequency sampled all along, the cues of every text track the
  // video element shows and when they became active, and the time of the
  // first picture, which is where the player's timeline puts the source's
  // start.
  async function playTracks(player) {
    Object.assign(record, {
      audioTracks: player.audioTracks(),
      subtitleTracks: player.subtitleTracks(),
      frequencies: [],
      switchedAt: null,
      firstPicture: null,
      cues: [],
      cueChanges: [],
    });
    // A muted element feeds silence to the analyser too: the sound is
    // unmuted and goes out through the analyser.
    const context = new AudioContext();
    const analyser = context.createAnalyser();
    analyser.fftSize = 16384;
    context.createMediaElementSource(video).connect(analyser).connect(context.destination);
    video.muted = false;
    const byLanguage = (tracks, language) => tracks.findIndex((track) => track.language === language);
    player.selectSubtitles(byLanguage(record.subtitleTracks, settings.subtitles));
    const heard = new Set();
    const listen = (track) => {
      // A track added before this runs may still announce itself.
      if (heard.has(track)) return;
      heard.add(track);
      track.addEventListener('cuechange', () => {
        const active = Array.from(track.activeCues || [], (cue) => cue.text);
        record.cueChanges.push({ currentTime: video.currentTime, language: track.language, active });
      });
    };
    Array.from(video.textTracks).forEach(listen);
    video.textTracks.addEventListener('addtrack', (event) => listen(event.track));
    const sampler = setInterval(() => {
      if (!video.paused) record.frequencies.push({ currentTime: video.currentTime, hz: dominantFrequency(analyser) });
    }, 100);
    setTimeout(() => finish('timed out'), settings.timeoutSeconds * 1000);
    await context.resume();
    await video.play();
    await waitFor(() => video.currentTime > settings.goalSeconds || record.outcome);
    record.cues = Array.from(video.textTracks)
      .filter((track) => track.mode !== 'disabled')
      .flatMap((track) =>
        Array.from(track.cues || [], (cue) => ({
          language: track.language,
          text: cue.text,
          startTime: cue.startTime,
          endTime: cue.endTime,
        })),
      );
    const buffered = videoBuffers.filter((buffer) => buffer.buffered.length).map((buffer) => buffer.buffered.start(0));
    record.firstPicture = buffered.length === 1 ? buffered[0] : null;
    if (settings.audio) {
      record.switchedAt = video.currentTime;
      player.selectAudio(byLanguage(record.audioTracks, settings.audio));
    }
    await waitFor(() => video.currentTime > 2 * settings.goalSeconds || record.outcome);
    clearInterval(sampler);
    finish('played');
  }

  return { settings, video, record, finish, fail, bufferedRanges, watch, playTracks };
})();
