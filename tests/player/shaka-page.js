// Plays an HLS package with Shaka Player and records what happened
// (page-record.js) as player.js does for hls.js, so that the headless driver
// (play.js) reads both alike.
'use strict';

(async function () {
  const { settings, video, record, fail, watch, playTracks } = window.playbackPage;
  const { source, forcedLevel } = settings;

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
  if (!settings.tracks) watch(() => `${video.videoWidth}x${video.videoHeight}, ${video.currentTime.toFixed(1)} s`);

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
  if (!settings.tracks) {
    video.play().catch((error) => fail('play', String(error)));
    return;
  }
  // Shaka Player's renditions as the tracks scenario lists and selects them.
  const describe = (track) => ({
    name: track.label,
    language: track.language,
    default: track.primary,
    describesVideo: track.roles.includes('public.accessibility.describes-video'),
  });
  const audioTracks = player.getAudioTracks();
  const textTracks = player.getTextTracks();
  await playTracks({
    audioTracks: () => audioTracks.map(describe),
    subtitleTracks: () => textTracks.map(describe),
    selectAudio: (index) => player.selectAudioTrack(audioTracks[index]),
    selectSubtitles: (index) => player.selectTextTrack(textTracks[index]),
  }).catch((error) => fail('tracks', String(error)));
})();
