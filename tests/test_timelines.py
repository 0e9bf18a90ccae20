"""Sound and picture stay together, and the whole of the source is kept, however
the source's timeline is laid out: streams that start apart, a clock that
restarts, lost audio, audio whose format changes mid-stream, an edit list, cover
art. Each source flashes and beeps together at known instants; the decrypted
variant must still do so."""

from __future__ import annotations

import pytest

from conftest import run_job, write_key_info
from timeline_media import CASES, FPS, FRAME_SECONDS, Source, Timeline, clear_variant, measure

pytestmark = pytest.mark.slow


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
def test_sound_and_picture_stay_together(tmp_path, case):
    source = CASES[case](tmp_path)
    out = tmp_path / "out"
    out.mkdir()
    info = write_key_info(out)
    job = run_job(tmp_path, source.path, out / "master.m3u8", ["360p"], key=info.path)
    assert "All secure transcoding finished flawlessly." in job.messages("SUCCESS"), job.messages("ERROR")
    assert "360p.m3u8" in (out / "master.m3u8").read_text().splitlines()

    timeline = measure(clear_variant(out / "360p.m3u8", info.key))
    faults = timeline_faults(source, timeline)
    assert faults == [], f"{'; '.join(faults)}. Measured: {timeline}"
