"""Every package plays in two independent clients: FFmpeg's HLS demuxer
decodes all of it, and hls.js in headless Chromium plays each variant from a
local web server. Each client is also shown a wrong key, to prove that its
check can fail. The packages of every track play in hls.js and Shaka Player
alike: their sound switches and their subtitles show at their time."""

from __future__ import annotations

import dataclasses
import json
import re
import shutil
import statistics
import subprocess
from pathlib import Path

import m3u8
import pytest

from conftest import TOOL_ENV, MediaFactory, Package, PackageFactory

# Seconds of playback that count as playing, as the page measures them.
PLAY_GOAL = 2
AAC_FRAME_SECONDS = 1024 / 44100
# hls.js reports a stall when the machine is too busy to feed the decoder in
# time; that says nothing about the package.
LOAD_WARNINGS = {"bufferStalledError", "bufferNudgeOnStall"}
# hls.js puts its zero at the lowest decoding timestamp, so with B-pictures the
# first picture is shown a reordering delay (2 pictures with our encoder
# settings) after zero. When playback starts before hls.js has stepped over
# that gap quietly, it reports the step; packages that FFmpeg's own command
# line makes with the same settings do the same. Any other hole is a fault.
START_GAP_SECONDS = 3 / 30


def is_player_fault(error: dict) -> bool:
    if error["details"] in LOAD_WARNINGS:
        return False
    if error["details"] == "bufferSeekOverHole" and not error["fatal"] and error["buffered"]:
        step = re.search(r"seeking from ([\d.]+) to", error["reason"])
        first_buffered = error["buffered"][0][0]
        return not (step and float(step.group(1)) < first_buffered <= START_GAP_SECONDS)
    return True


@dataclasses.dataclass
class DecodedStream:
    media_type: str
    size: str | None = None
    time_base: float = 0.0
    frames: int = 0
    ticks: int = 0

    @property
    def seconds(self) -> float:
        return self.ticks * self.time_base


def decode_with_ffmpeg(path: Path, *input_options: str) -> tuple[subprocess.CompletedProcess, dict[int, DecodedStream]]:
    """Decodes every stream of the input (every variant, for a master
    playlist); the framecrc lines tell what came out of each stream."""
    proc = subprocess.run(
        ["ffmpeg", "-hide_banner", "-nostdin", "-v", "error", *input_options, "-i", str(path),
         "-map", "0", "-fps_mode", "passthrough", "-f", "framecrc", "-"],
        capture_output=True, text=True, timeout=300, env=TOOL_ENV,
    )
    streams: dict[int, DecodedStream] = {}
    for line in proc.stdout.splitlines():
        if line.startswith("#") and ":" in line:
            name, value = line[1:].split(":", 1)
            parts = name.split()
            if len(parts) != 2 or not parts[1].isdigit():
                continue
            stream = streams.setdefault(int(parts[1]), DecodedStream(media_type=""))
            value = value.strip()
            if parts[0] == "media_type":
                stream.media_type = value
            elif parts[0] == "dimensions":
                stream.size = value
            elif parts[0] == "tb":
                num, den = value.split("/")
                stream.time_base = int(num) / int(den)
        elif line and not line.startswith("#"):
            index, _dts, _pts, duration, *_ = (field.strip() for field in line.split(","))
            stream = streams[int(index)]
            stream.frames += 1
            stream.ticks += int(duration)
    return proc, streams


def master_sizes(package: Package) -> dict[str, str]:
    master = m3u8.load(str(package.master))
    return {
        entry.uri.removesuffix(".m3u8"): "{}x{}".format(*entry.stream_info.resolution)
        for entry in master.playlists
    }


def decode_package(master: Path) -> tuple[subprocess.CompletedProcess, dict[int, DecodedStream]]:
    # The key's file name does not end in a media extension.
    return decode_with_ffmpeg(master, "-allowed_extensions", "ALL")


def with_wrong_key(package: Package, directory: Path) -> Path:
    """A copy of the package whose served key is not the one it was made with."""
    shutil.copytree(package.directory, directory)
    wrong = bytes(b ^ 0xFF for b in package.key)
    (directory / "enc.key").write_bytes(wrong)
    return directory


@pytest.mark.parametrize("name", list(PackageFactory.RECIPES))
def test_ffmpeg_decodes_every_variant_from_the_master_playlist(packages, name):
    package = packages[name]
    proc, streams = decode_package(package.master)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr

    _, source = decode_with_ffmpeg(package.source)
    pictures = next(s.frames for s in source.values() if s.media_type == "video")
    seconds = next(s.seconds for s in source.values() if s.media_type == "audio")
    videos = [s for s in streams.values() if s.media_type == "video"]
    audios = [s for s in streams.values() if s.media_type == "audio"]
    assert sorted(s.size for s in videos) == sorted(master_sizes(package).values())
    assert len(audios) == len(package.stems)
    for video in videos:
        # No source picture lost or added (the sources are not faster than 30 fps).
        assert video.frames == pictures, video
    for audio in audios:
        # MPEG-TS cannot say how many priming samples to drop, so the decoder
        # gives the encoder's priming frame on top of what the source had.
        assert abs(audio.seconds - seconds) <= 3 * AAC_FRAME_SECONDS, (audio, seconds)


def test_ffmpeg_reports_a_wrong_key(packages, tmp_path):
    wrong = with_wrong_key(packages["ladder-30fps"], tmp_path / "wrong-key")
    proc, _ = decode_package(wrong / "master.m3u8")
    assert not (proc.returncode == 0 and proc.stderr == "")
    assert "Invalid data found" in proc.stderr, proc.stderr


def play_in_chromium(player: Path, directory: Path, *options: str, goal: float = PLAY_GOAL) -> list[dict]:
    """One record per variant, in the order the player numbers them (by bandwidth);
    `options` go to the driver (--player shaka)."""
    proc = subprocess.run(
        ["node", str(player), str(directory), "--goal", str(goal), "--timeout", "45", *options],
        capture_output=True, text=True, timeout=600, env=TOOL_ENV,
    )
    assert proc.returncode == 0, proc.stderr
    return [json.loads(line) for line in proc.stdout.splitlines()]


def played_correctly(record: dict, level: int, size: str, goal: float = PLAY_GOAL) -> bool:
    """What the positive check demands and the negative control must deny:
    playback went past the goal showing the held variant's pictures."""
    return (
        record["outcome"] == "played"
        and record["currentTime"] > goal
        and f"{record['videoWidth']}x{record['videoHeight']}" == size
        and any(fragment["level"] == level for fragment in record["fragments"])
    )


@pytest.fixture(scope="module", params=["ladder-30fps", "stitched-from-chunks"])
def ladder_playback(request, packages, player) -> tuple[Package, list[dict]]:
    package = packages[request.param]
    return package, play_in_chromium(player, package.directory)


@pytest.mark.python_side
@pytest.mark.parametrize("stem", PackageFactory.RECIPES["ladder-30fps"][1])
def test_chromium_plays_each_variant_held_in_turn(ladder_playback, stem):
    package, records = ladder_playback
    assert len(records) == len(package.stems)
    size = master_sizes(package)[stem]
    levels = ["{width}x{height}".format(**level) for level in records[0]["levels"]]
    assert sorted(levels) == sorted(master_sizes(package).values())
    level = levels.index(size)
    record = records[level]

    assert record["forcedLevel"] == level
    assert played_correctly(record, level, size), record
    assert record["keysLoaded"] >= 1, record
    assert [e for e in record["errors"] if is_player_fault(e)] == [], record
    # Only the held variant was fetched and shown.
    assert {fragment["level"] for fragment in record["fragments"]} == {level}, record


@pytest.mark.python_side
def test_chromium_refuses_a_wrong_key(packages, player, tmp_path):
    wrong = with_wrong_key(packages["ladder-30fps"], tmp_path / "wrong-key")
    records = play_in_chromium(player, wrong)
    assert len(records) == len(packages["ladder-30fps"].stems)
    sizes = ["{width}x{height}".format(**level) for level in records[0]["levels"]]
    for level, record in enumerate(records):
        # The key did arrive: the failure is the decryption, not a missing file.
        assert record["keysLoaded"] >= 1, record
        assert not played_correctly(record, level, sizes[level]), record
        # hls.js may now and then take garbled bytes for a stream of some
        # other format and "play" it, but never shows the variant's pictures:
        # any outcome but a fatal error must come without a picture.
        if record["outcome"] == "failed":
            assert any(error["fatal"] for error in record["errors"]), record
        else:
            assert (record["videoWidth"], record["videoHeight"]) == (0, 0), record


@dataclasses.dataclass
class TrackScenario:
    """What a player must list, show and play of a package of every track:
    its audio and subtitle renditions as (name, language, default, describes
    the video), the subtitles shown and one of their cues (text, start and end
    on the source's clock, counted from its first picture), the tone heard
    first and, with audio renditions, the language switched to and its tone."""

    audio: list[tuple]
    subtitles: list[tuple]
    shown: str
    cue: tuple[str, float, float]
    tone: float
    switch: tuple[str, float] | None


EVERY_TRACK = TrackScenario(
    # The sources' three sounds are sine tones of these frequencies.
    audio=[("English", "en", True, False), ("French", "fr", False, False), ("English (2)", "en", False, True)],
    subtitles=[("English", "en", False, False), ("French", "fr", False, False)],
    shown="en", cue=MediaFactory.SUBRIP_CUES[0], tone=440, switch=("fr", 880),
)
TRACK_SCENARIOS = {
    "every-track": EVERY_TRACK,
    "every-track-split": EVERY_TRACK,
    # One sound in the variant (its tone at 330 Hz); the Spanish cue is the sidecar file's.
    "mov-text-and-sidecar": TrackScenario(
        audio=[], subtitles=[("German", "de", True, False), ("Spanish", "es", False, False)],
        shown="es", cue=MediaFactory.SIDECAR_CUES[0], tone=330, switch=None,
    ),
}
# Seconds of playback before the switch, and as many after it.
TRACKS_GOAL = 3
# How long a player may take to bring in the other sound after the switch.
SWITCH_SECONDS = 1.5
PICTURE_SECONDS = 1 / 30


def heard(record: dict, start: float, end: float) -> float:
    """The tone mostly heard between two playback times (0 for silence, or for none sampled)."""
    return statistics.median(
        [sample["hz"] or 0 for sample in record["frequencies"] if start <= sample["currentTime"] < end] or [0]
    )


@pytest.mark.python_side
@pytest.mark.parametrize("player_name", ["hls.js", "shaka"])
@pytest.mark.parametrize("name", list(TRACK_SCENARIOS))
def test_players_switch_sound_and_show_subtitles_at_their_time(track_packages, player, name, player_name):
    """Each player lists the renditions, plays the default sound and then the
    one switched to (told apart by their tones, measured as they play), and
    shows a cue where it belongs against the pictures."""
    scenario = TRACK_SCENARIOS[name]
    switch = ["--audio", scenario.switch[0]] if scenario.switch else []
    [record] = play_in_chromium(
        player, track_packages[name].directory, "--player", player_name, "--tracks", "--subtitles", scenario.shown,
        *switch, goal=TRACKS_GOAL,
    )
    assert record["outcome"] == "played", record
    assert [e for e in record["errors"] if is_player_fault(e)] == [], record

    def listed(tracks: list[dict]) -> list[tuple]:
        # Shaka Player also lists a variant's own sound, which has no name.
        return [(t["name"], t["language"], t["default"], t["describesVideo"]) for t in tracks if t["name"]]

    assert listed(record["audioTracks"]) == scenario.audio, record
    assert listed(record["subtitleTracks"]) == scenario.subtitles, record

    # The sound is the default rendition's up to the switch, then the other's.
    switched_at = record["switchedAt"] if scenario.switch else record["currentTime"]
    assert heard(record, 0.5, switched_at) == pytest.approx(scenario.tone, rel=0.02), record["frequencies"]
    if scenario.switch:
        after = heard(record, switched_at + SWITCH_SECONDS, float("inf"))
        assert after == pytest.approx(scenario.switch[1], rel=0.02), record["frequencies"]

    # A player's timeline has the first picture where the player puts it
    # (hls.js a reordering delay after zero), so a cue falls that far after
    # its time in the source, give or take a picture.
    text, start, end = scenario.cue
    [cue] = [c for c in record["cues"] if c["language"] == scenario.shown and c["text"] == text]
    first = record["firstPicture"]
    assert first is not None, record
    assert cue["startTime"] - first == pytest.approx(start, abs=PICTURE_SECONDS), (cue, first)
    assert cue["endTime"] - first == pytest.approx(end, abs=PICTURE_SECONDS), (cue, first)
    assert any(text in change["active"] for change in record["cueChanges"]), record["cueChanges"]
