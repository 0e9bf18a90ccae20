// The rendition stage of a job, one thread per planned rendition: it scales
// the source's pictures to its frame size, encodes them with x264, muxes them
// with the source's AAC packets into its encrypted HLS variant, checks the
// files, and logs whether the variant was created.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/ffmpeg_owners.h"
#include "media/step_status.h"
#include "pipeline/encode_profile.h"
#include "pipeline/job_control.h"
#include "pipeline/job_part.h"
#include "pipeline/media_item.h"
#include "pipeline/rendition.h"

// Remembers each picture's duration until its packet leaves the encoder,
// which may hold it for a while (lookahead, B-pictures, frame threads).
struct PictureDurations {
    static constexpr int64_t SLOTS = 512;  // 1/30 s ticks a picture can stay inside
    int64_t slot_pts[SLOTS] = {};          // 1/30 s ticks
    int64_t slot_duration[SLOTS] = {};     // video output stream's time base
};

// What the output's file callbacks (hls_output.cpp) learned: the muxer opens
// and closes its segment and playlist files without always looking at the
// result, so a missing directory or a full disk could still end in a reported
// success.
struct OutputFiles {
    // The first failed open for writing or failed write, as a negative
    // AVERROR, or 0.
    int first_error = 0;
    // Every file opened for writing, as the muxer named it.
    std::vector<std::string> written;
    // The library's own opener, which ours wraps.
    decltype(AVFormatContext::io_open) library_io_open = nullptr;
};

// Members are declared in order of acquisition, so they are released in the
// reverse order on every way out.
struct RenditionStage {
    RenditionStage(const Rendition& planned, const EncodeProfile& job_profile,
                   const std::string& key, RenditionProgress& counters)
        : rendition(planned), profile(job_profile), key_info_path(key), progress(counters) {}
    RenditionStage(const RenditionStage&) = delete;
    RenditionStage& operator=(const RenditionStage&) = delete;

    const Rendition& rendition;
    const EncodeProfile& profile;
    const std::string& key_info_path;
    RenditionProgress& progress; // read by other threads while this one runs
    int64_t written_end_us = 0;  // the latest end of a written picture
    // The lowest of the streams' first timestamps handed to the muxer, on the
    // 90 kHz clock: the muxer moves every timestamp up by as much as puts it
    // at zero. Which streams have sent their first packet.
    int64_t lowest_start_90k = 0;
    bool video_started = false;
    bool audio_started = false;
    CodecContextPtr video_enc;
    // The video stream as muxed: the opened encoder's, or a stitch's chunks'.
    CodecParametersPtr video_par;
    std::string codecs; // of the variant's streams, once both are known
    VariantFigures figures;
    // The source's; null when the variants carry video only.
    std::shared_ptr<const AudioStreamParameters> audio;
    // Must outlive `output`, whose callbacks record into it until it is freed.
    OutputFiles output_files;
    FormatContextPtr output;
    AVStream* video_out = nullptr; // owned by `output`
    AVStream* audio_out = nullptr; // owned by `output`
    bool header_written = false;
    bool window_opened = false; // a pictures part's key picture at its window's start was sent
    std::string segment_pattern;
    ScalerPtr scaler;
    PacketPtr enc_pkt;
    FramePtr scaled_frame;
    PictureDurations durations;
};

// The thread's routine. Takes items from `in` until the source closes it;
// aborts it at once when the rendition fails, so the source stops feeding it.
// Logs one SUCCESS or ERROR line and records the outcome. A stop of
// `control` ends it at the next item, without a line.
void run_rendition_stage(const Rendition& rendition, const EncodeProfile& profile,
                         const std::string& key_info_path, MediaQueue& in, JobControl& control,
                         RenditionOutcome& outcome) noexcept;

// Ends a stage's output, for the rendition stage and the stitch alike: the
// trailer, then the look at its files (a variant's measured, an
// intermediate put in place); the first failure, `status` or a later one,
// is the one returned.
StepStatus close_output(RenditionStage& r, StepStatus status);

// How a finished stage's outcome is filled in, for the rendition stage and
// the stitch alike: its files, codecs and figures; then stopped, failed (a
// source failure's reason read from `in`, when a source fed the stage) or
// created, with its line in the job's log.
void keep_stage_results(RenditionStage& stage, RenditionOutcome& outcome);
void report_stage_end(const Rendition& rendition, const StepStatus& status, const MediaQueue* in,
                      JobControl& control, RenditionOutcome& outcome);

// The failure text used for every variant file error.
constexpr const char* WRITE_STEP = "could not write the variant files";

// Video (rendition_video.cpp): the H.264 encoder, and each picture scaled and
// encoded, then the encoder's flush.
StepStatus open_video_encoder(RenditionStage& stage);
// "avc1.PPCCLL" from the opened encoder's SPS, or empty when it has none.
std::string video_codec_of(const AVCodecParameters& par);
StepStatus allocate_picture_buffer(RenditionStage& stage);
StepStatus encode_picture(RenditionStage& stage, const AVFrame* picture, MediaDuration duration);
StepStatus flush_video_encoder(RenditionStage& stage);

// Output (hls_output.cpp): fails before any work when the variant's directory
// cannot take files; then the muxer with both streams, its options and header.
StepStatus check_output_directory(const std::string& playlist_path);
StepStatus open_hls_output(RenditionStage& stage);
StepStatus write_trailer(RenditionStage& stage);

// A pictures part's output (intermediate_output.cpp): the video stream alone,
// in NUT, under the file's partial name; renamed into place once closed whole.
StepStatus open_intermediate_output(RenditionStage& stage);
StepStatus place_intermediate_file(const Rendition& rendition);
