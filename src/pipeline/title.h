// What is true of a title, worked out once (by a whole job's probe, or by a
// split job's plan for all of its parts) and handed to every stage and part:
// its clock and its colours. A part that worked them out again from its own
// share of the file could disagree with the others.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/picture_clock.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

// How the code values turn into light.
enum class Transfer { sdr, pq, hlg };

struct ColourDescription {
    AVColorPrimaries primaries = AVCOL_PRI_BT709;
    AVColorTransferCharacteristic transfer_characteristic = AVCOL_TRC_BT709;
    AVColorSpace matrix = AVCOL_SPC_BT709;
    AVColorRange range = AVCOL_RANGE_MPEG;
    Transfer transfer = Transfer::sdr;
    int bit_depth = 8;
    // The pictures are R'G'B', not Y'CbCr: the matrix is the identity.
    bool rgb = false;
    // Some of the above was not in the file and was guessed from the
    // picture's height (BT.709 from 720 lines up, BT.601 below).
    bool guessed = false;
    // PQ: the brightest light the content holds, in cd/m², from its content
    // light level or mastering display metadata; 0 when the file says none.
    double peak_nits = 0;
    // Dolby Vision: the profile, or -1, and the base layer's compatibility
    // (1 HDR10, 2 SDR, 4 HLG; 0 none a player without Dolby Vision can show).
    int dolby_vision_profile = -1;
    int dolby_vision_compatibility = -1;
};

// An audio stream of the input that becomes a rendition of the package.
struct AudioTrack {
    int stream_index = -1;
    std::string language; // RFC 5646 ("en"), or empty when the stream names none
    std::string name;     // what players list; unique among the title's audio tracks
    bool is_default = false;
    bool describes_video = false; // an audio description, for the visually impaired
};

// A text subtitle stream of the input, or a sidecar file, that becomes a
// WebVTT rendition of the package.
struct SubtitleTrack {
    int stream_index = -1; // -1: the sidecar file
    std::string sidecar;   // its path
    std::string language;
    std::string name;
    bool is_default = false;
    bool forced = false;
};

// A subtitle file the caller adds beside the input, and its language (an
// RFC 5646 tag or an ISO 639 code; empty when unknown).
struct Sidecar {
    std::string path;
    std::string language;
};

// A stream the package leaves out, and why.
struct LeftOutStream {
    int stream_index = -1;
    std::string kind; // "audio" or "subtitles"
    std::string reason;
};

struct Title {
    // Where every output timestamp is measured from: the earlier start of the
    // video and the sound, in AV_TIME_BASE; never before zero.
    int64_t origin_us = 0;
    // The output's frame rate and what hangs on it.
    PictureClock clock;
    ColourDescription colour;
    // The sound: one track is muxed into every variant; two or more become
    // renditions of their own.
    std::vector<AudioTrack> audio;
    std::vector<SubtitleTrack> subtitles;
    std::vector<LeftOutStream> left_out;
};
