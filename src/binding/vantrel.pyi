"""HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python"""

from collections.abc import Sequence

def hls_encoder(
    input: str | bytes,
    output: str | bytes,
    resolution: Sequence[str | bytes] = ["1080p", "720p", "480p", "360p"],
    bitrate: Sequence[int] = [5000000, 2500000, 1000000, 400000],
    key: str | bytes = "enc.keyinfo",
) -> None:
    """Transcode video to HLS with dynamic ABR"""
