"""Sound and picture stay together, and the whole of the source is kept, however
the source's timeline is laid out: streams that start apart, a clock that
restarts, lost audio, audio whose format changes mid-stream, an edit list, cover
art. Each source flashes and beeps together at known instants; the decrypted
variant must still do so, and a player must play all of it."""

from __future__ import annotations

import dataclasses
from pathlib import Path

import pytest

from conftest import JobResult, KeyInfo, run_job, write_key_info
from test_playback import is_player_fault, play_in_chromium, played_correctly
from timeline_media import CASES, FPS, FRAME_SECONDS, SECONDS, Source, Timeline, clear_variant, measure

pytestmark = pytest.mark.slow


@dataclasses.dataclass
class TimelinePackage:
    source: Source
    job: JobResult
    directory: Path
    key: KeyInfo


@pytest.fixture(scope="module")
def timeline_packages(tmp_path_factory: pytest.TempPathFactory) -> dict[str, TimelinePackage]:
    """The 360p variant of every case, each in a directory of its own under
    one root, as a web server would serve them side by side."""
    root = tmp_path_factory.mktemp("timelines")
    made = {}
    for case, make in CASES.items():
        work = root / "sources" / case
        work.mkdir(parents=True)
        source = make(work)
        out = root / case
        out.mkdir()
        key = write_key_info(out)
        job = run_job(work, source.path, out / "master.m3u8", ["360p"], key=key.path)
        made[case] = TimelinePackage(source, job, out, key)
    return made


def timeline_faults(source: Source, timeline: Timeline) -> list[str]:
    """Every way the output's timeline departs from the source's by more than
    one picture, all at once, so that a failure tells the whole story."""
    faults = []
    if len(timeline.flashes) != len(source.events) or len(timeline.beeps) != len(source.events):
        faults.append(f"{len(source.events)} flashes and beeps expected")
    for where, index in (("start", 0), ("end", -1)):
        offset = timeline.offset(index)
        if offset is None or abs(offset) > FRAME_SECONDS:
            faults.append(f"sound and picture apart at the {where}")
    expected_pictures = round(source.seconds * FPS)
    if abs(timeline.pictures - expected_pictures) > 1:
        faults.append(f"{expected_pictures} pictures expected")
    # One picture, and the 90 kHz clock's rounding on top.
    if abs(timeline.duration - source.seconds) > FRAME_SECONDS + 0.001:
        faults.append(f"{source.seconds:.3f} s expected")
    return faults


@pytest.mark.parametrize("case", list(CASES))
def test_sound_and_picture_stay_together(timeline_packages, case):
    package = timeline_packages[case]
    job = package.job
    assert "All secure transcoding finished flawlessly." in job.messages("SUCCESS"), job.messages("ERROR")
    assert "360p.m3u8" in (package.directory / "master.m3u8").read_text().splitlines()

    timeline = measure(clear_variant(package.directory / "360p.m3u8", package.key.key))
    faults = timeline_faults(package.source, timeline)
    assert faults == [], f"{'; '.join(faults)}. Measured: {timeline}"


@pytest.mark.python_side
def test_hls_js_plays_every_timeline_to_its_end(timeline_packages, player, tmp_path):
    # One master playlist over every case's variant, each with a bandwidth of
    # its own, so that hls.js numbers them in case order and one browser plays
    # them all, each held to within half a second of its end.
    cases = list(CASES)
    root = next(iter(timeline_packages.values())).directory.parent
    lines = ["#EXTM3U", "#EXT-X-VERSION:3"]
    for number, case in enumerate(cases):
        lines += [f"#EXT-X-STREAM-INF:BANDWIDTH={400000 + number},RESOLUTION=640x360", f"{case}/360p.m3u8"]
    (root / "master.m3u8").write_text("\n".join(lines) + "\n")
    goal = SECONDS - 0.5
    records = play_in_chromium(player, root, goal=goal)
    assert len(records) == len(cases)
    for level, (case, record) in enumerate(zip(cases, records)):
        assert played_correctly(record, level, "640x360", goal), (case, record)
        assert [e for e in record["errors"] if is_player_fault(e)] == [], (case, record)
