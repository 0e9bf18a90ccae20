"""HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python"""

from vantrel._encode import (
    EncodeResult,
    EncodeTimeout,
    LeftOutStream,
    Progress,
    RenditionError,
    RenditionResult,
    TrackResult,
    encode,
)
from vantrel._engine import __version__, hls_encoder
from vantrel._keys import KeyInfo, generate_key

__all__ = [
    "EncodeResult",
    "EncodeTimeout",
    "KeyInfo",
    "LeftOutStream",
    "Progress",
    "RenditionError",
    "RenditionResult",
    "TrackResult",
    "__version__",
    "encode",
    "generate_key",
    "hls_encoder",
]
