// What differs between the entry points: hls_encoder keeps the output it has
// always written, the package functions (encode, the commands, the queue) make
// packages for real uploads and real players. Built once at the binding and
// read where each difference matters.
#pragma once

struct EncodeProfile {
    // Turn the picture as the video stream's display matrix says (a phone's
    // portrait clip is stored sideways), before any scaling.
    bool upright = false;
    // Fit each rendition inside its row's frame keeping the displayed aspect
    // ratio, with square pixels; otherwise the row's frame is filled.
    bool keep_aspect = false;
    // Make rows whose frame is larger than the displayed source too.
    bool upscale = true;
    // The source's own frame rate (halved above 30), a keyframe every 2 s
    // and three keyframe intervals per segment; otherwise 30 fps, 60-picture
    // keyframe intervals and 6 s segments.
    bool source_frame_rate = false;
    // x264's VBV at 1.5x the bitrate with a buffer of 2x, so that no segment
    // needs far more than the variant declares.
    bool capped_bitrate = false;
    // BANDWIDTH and AVERAGE-BANDWIDTH measured from the written segments,
    // CODECS from the encoder's own SPS, FRAME-RATE, independent segments.
    bool measured_master = false;
    // An input without usable sound makes video-only variants instead of
    // failing.
    bool video_only = false;
    // Every picture converted once to 8-bit SDR BT.709 with limited range
    // (HDR tone-mapped), and every variant tagged so; otherwise pictures
    // keep their code values and variants say nothing of their colours.
    bool sdr_bt709 = false;
    // Every audio stream a decoder exists for, and every text subtitle
    // stream and sidecar file, becomes a rendition; otherwise the best audio
    // stream is the variants' sound and nothing else is read.
    bool every_track = false;
    // Loudness measured on the sound as delivered, after the downmix to
    // stereo; otherwise on the decoded channels, before it.
    bool loudness_after_downmix = false;
};

// hls_encoder's profile: every variant as it has always been written.
inline EncodeProfile specified_profile() {
    return {};
}

// The package functions' profile.
inline EncodeProfile package_profile(bool upscale) {
    EncodeProfile profile;
    profile.upright = true;
    profile.keep_aspect = true;
    profile.upscale = upscale;
    profile.source_frame_rate = true;
    profile.capped_bitrate = true;
    profile.measured_master = true;
    profile.video_only = true;
    profile.sdr_bt709 = true;
    profile.every_track = true;
    profile.loudness_after_downmix = true;
    return profile;
}
