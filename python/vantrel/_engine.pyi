"""HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python"""

from collections.abc import Iterable

__version__: str

def hls_encoder(
    input: str | bytes,
    output: str | bytes,
    resolution: Iterable[str | bytes] = ["1080p", "720p", "480p", "360p"],
    bitrate: Iterable[int] = [5000000, 2500000, 1000000, 400000],
    key: str | bytes = "enc.keyinfo",
) -> None:
    """Transcode video to HLS with dynamic ABR"""

class Job:
    """An encode job running on a native thread of its own."""

    def wait(self, seconds: float) -> bool: ...
    def take_lines(self) -> list[tuple[int, bytes]]: ...
    def progress(self) -> tuple[int, list[tuple[str, int, int]]]: ...
    def finish(self) -> tuple[list[tuple[str, bytes, bool, bytes, bytes, int, int]], bool, bytes, int]: ...
    def stop(self) -> None: ...

def start_job(
    input: str | bytes,
    output: str | bytes,
    renditions: Iterable[str | bytes],
    bitrates: Iterable[int],
    key_info: str | bytes,
) -> Job: ...
def ladder() -> list[tuple[str, int, int, int]]: ...
def set_library_log_level(level: int) -> None: ...
