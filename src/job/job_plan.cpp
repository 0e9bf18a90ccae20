// Planning a job: what the source is, which renditions it gets and how
// large, what the report and the log say of it.
#include "job/job_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "media/paths.h"

namespace {

bool already_planned(const std::vector<Rendition>& plan, const std::string& name) {
    for (const Rendition& planned : plan)
        if (planned.name == name)
            return true;
    return false;
}

// The smallest of the known names requested: made even when its frame would
// be larger than the source.
const RenditionRung* smallest_requested(const EncodeRequest& request) {
    const RenditionRung* smallest = nullptr;
    for (const std::string& name : request.renditions) {
        const RenditionRung* rung = find_rendition(name);
        if (rung && (!smallest || rung->long_side < smallest->long_side))
            smallest = rung;
    }
    return smallest;
}

// The rendition's frame size: the rung's frame filled (the specified
// profile), or the displayed picture fitted inside it. A fitted frame larger
// than the picture is skipped, with its reason, unless the profile upscales;
// the smallest requested rung is made at the picture's own size instead.
void size_rendition(Rendition& rendition, const RenditionRung& rung, const EncodeRequest& request,
                    const SourceGeometry& source, const RenditionRung* smallest) {
    if (!request.profile.keep_aspect) {
        const FrameSize size = rendition_frame_size(rung, source.coded.width, source.coded.height);
        rendition.width = size.width;
        rendition.height = size.height;
        return;
    }
    FittedFrame fitted = fitted_frame_size(rung, source.displayed);
    if (fitted.upscales && !request.profile.upscale) {
        if (&rung == smallest) {
            fitted.size = source_frame_size(source.displayed);
        } else {
            rendition.skip_reason = "the source's picture (" + size_text(source.displayed) +
                                    ") is smaller than its frame (" + size_text(fitted.size) + ")";
        }
    }
    rendition.width = fitted.size.width;
    rendition.height = fitted.size.height;
}

int even_above(double side) {
    const int whole = static_cast<int>(std::ceil(side));
    return whole + (whole & 1);
}

} // namespace

std::string size_text(FrameSize size) {
    return std::to_string(size.width) + "x" + std::to_string(size.height);
}

std::vector<Rendition> plan_renditions(const EncodeRequest& request, const SourceGeometry& source,
                                       const PictureClock& clock, JobLog& log) {
    const std::string directory = directory_of(request.output);
    const RenditionRung* smallest = smallest_requested(request);
    std::vector<Rendition> plan;
    plan.reserve(request.renditions.size());
    for (std::size_t i = 0; i < request.renditions.size(); ++i) {
        const std::string& name = request.renditions[i];
        const RenditionRung* rung = find_rendition(name);
        if (!rung) {
            log_message(log, LOG_WARN, "Unknown resolution requested: " + name + ". Skipping.");
            continue;
        }
        // Two renditions of one name would write the same files at once.
        if (already_planned(plan, name)) {
            log_message(log, LOG_WARN, "Duplicate resolution requested: " + name + ". Skipping.");
            continue;
        }
        Rendition rendition;
        rendition.name = name;
        rendition.bitrate =
            i < request.bitrates.size() ? request.bitrates[i] : rung->default_bitrate;
        rendition.playlist_path = directory + name + ".m3u8";
        rendition.clock = clock;
        size_rendition(rendition, *rung, request, source, smallest);
        if (!rendition.skip_reason.empty())
            log_message(log, LOG_INFO, "Skipping " + name + ": " + rendition.skip_reason + ".");
        plan.push_back(std::move(rendition));
    }
    return plan;
}

void plan_audio_renditions(const EncodeRequest& request, const Title& title,
                           std::vector<Rendition>& plan) {
    // One track is muxed into every variant, as it always was.
    if (title.audio.size() < 2)
        return;
    constexpr int32_t AUDIO_BITRATE = 128000; // the source's AAC encoder
    const std::string directory = directory_of(request.output);
    for (std::size_t k = 0; k < title.audio.size(); ++k) {
        Rendition rendition;
        rendition.name = "audio_" + std::to_string(k + 1);
        rendition.bitrate = AUDIO_BITRATE;
        rendition.playlist_path = directory + rendition.name + ".m3u8";
        rendition.clock = title.clock;
        rendition.audio_track = static_cast<int>(k);
        plan.push_back(std::move(rendition));
    }
    for (Rendition& rendition : plan)
        rendition.shares_mpegts_zero = true;
}

void report_left_out_streams(const Title& title, JobLog& log) {
    for (const LeftOutStream& stream : title.left_out)
        log_message(log, LOG_WARN,
                    "Leaving out stream " + std::to_string(stream.stream_index) + " (" + stream.kind +
                        "): " + stream.reason + ".");
}

SourceGeometry describe_source(const EncodeProfile& profile, SourceStage& source,
                               AVStream& video) {
    const AVCodecParameters& par = *video.codecpar;
    if (profile.upright)
        source.orientation = orientation_of(video);
    const AVRational sar = av_guess_sample_aspect_ratio(source.input.fmt_ctx.get(), &video, nullptr);
    return {{par.width, par.height},
            displayed_size(par.width, par.height, sar.num, sar.den,
                           source.orientation.swaps_sides)};
}

// The input's colours, for a profile that makes SDR BT.709 of them: what the
// source stage converts from, and what the report and the log say of it.
void describe_colours(SourceStage& source, const ColourDescription& colour, bool final,
                      JobReport& report, JobLog& log) {
    ColourStage& stage = source.colour;
    stage.wanted = true;
    stage.colour = colour;
    stage.final = final;
    const AVStream& video = *source.video_in();
    report.source_colour = colour_text(colour);
    if (!needs_conversion(colour, static_cast<AVPixelFormat>(video.codecpar->format)))
        report.colour_conversion = "none";
    else if (colour.transfer == Transfer::sdr)
        report.colour_conversion = "converted to SDR BT.709";
    else
        report.colour_conversion = "tone-mapped to SDR BT.709";
    log_message(log, LOG_INFO,
                "Source colours: " + report.source_colour + ", " +
                    (report.colour_conversion == "none" ? "kept as they are"
                                                        : report.colour_conversion) +
                    ".");
    if (without_compatible_base_layer(colour))
        log_message(log, LOG_WARN,
                    "The video is Dolby Vision profile " +
                        std::to_string(colour.dolby_vision_profile) +
                        ", which has no base layer other players can show: its colours cannot "
                        "be shown right.");
}

// A converted picture need not be larger than the largest rendition made
// from it: a 4K source of a 1080p ladder is converted at 1080p, a quarter of
// the pixels, and its renditions scale from that. Only worth a scaling of
// its own where it saves much.
void size_colour_work(ColourStage& stage, const std::vector<Rendition>& plan,
                      const SourceGeometry& source) {
    constexpr double WORTH_IT = 0.75;
    if (source.displayed.width <= 0 || source.displayed.height <= 0)
        return;
    double scale = 0;
    for (const Rendition& rendition : plan)
        if (rendition.skip_reason.empty())
            scale = std::max({scale, double(rendition.width) / source.displayed.width,
                              double(rendition.height) / source.displayed.height});
    if (scale <= 0 || scale > WORTH_IT)
        return;
    stage.working_width = even_above(source.coded.width * scale);
    stage.working_height = even_above(source.coded.height * scale);
}

std::string frame_rate_text(AVRational rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", av_q2d(rate));
    return text;
}

int64_t input_duration_us(const SourceInput& input) {
    static_assert(AV_TIME_BASE == 1000000, "the container's duration is in microseconds");
    const int64_t duration = input.fmt_ctx->duration;
    return duration == AV_NOPTS_VALUE || duration <= 0 ? -1 : duration;
}

void publish_plan(JobReport& report, std::vector<Rendition> plan, int64_t duration_us) {
    std::vector<RenditionOutcome> outcomes(plan.size());
    const std::lock_guard<std::mutex> lock(report.mutex);
    report.plan = std::move(plan);
    report.outcomes = std::move(outcomes);
    report.input_duration_us = duration_us;
}

