#include "job/encode_job.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <utility>

#include "job/master_playlist.h"
#include "job/output_frame_rate.h"
#include "job/rendition_ladder.h"
#include "job/split_parts.h"
#include "job/stage_threads.h"
#include "media/paths.h"
#include "rendition/rendition_stage.h"
#include "source/source_stage.h"

namespace {

struct SourceGeometry {
    FrameSize coded;
    FrameSize displayed; // turned and with square pixels, as players show it
};

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

std::string size_text(FrameSize size) {
    return std::to_string(size.width) + "x" + std::to_string(size.height);
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

// One rendition per known name, in the caller's order. Bitrates pair with
// names by position; a position without one takes the name's default.
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
        if (request.part.kind == PartKind::pictures) {
            rendition.intermediate_path =
                pictures_file(request.part.work_dir, name, request.part.first_tick);
            rendition.window_start = request.part.first_tick;
        }
        rendition.clock = clock;
        size_rendition(rendition, *rung, request, source, smallest);
        if (!rendition.skip_reason.empty())
            log_message(log, LOG_INFO, "Skipping " + name + ": " + rendition.skip_reason + ".");
        plan.push_back(std::move(rendition));
    }
    return plan;
}

// The coded picture, and for a profile that turns it upright, as displayed.
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
void describe_colours(SourceStage& source, const AVStream& video, JobReport& report, JobLog& log) {
    ColourStage& stage = source.colour;
    stage.wanted = true;
    stage.colour = describe_colour(video);
    const ColourDescription& colour = stage.colour;
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

int even_above(double side) {
    const int whole = static_cast<int>(std::ceil(side));
    return whole + (whole & 1);
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

// The input's length as its container states it, or -1.
int64_t input_duration_us(const SourceInput& input) {
    static_assert(AV_TIME_BASE == 1000000, "the container's duration is in microseconds");
    const int64_t duration = input.fmt_ctx->duration;
    return duration == AV_NOPTS_VALUE || duration <= 0 ? -1 : duration;
}

// Hands the plan to the report, where readers of progress find it.
void publish_plan(JobReport& report, std::vector<Rendition> plan, int64_t duration_us) {
    std::vector<RenditionOutcome> outcomes(plan.size());
    const std::lock_guard<std::mutex> lock(report.mutex);
    report.plan = std::move(plan);
    report.outcomes = std::move(outcomes);
    report.input_duration_us = duration_us;
}

// Items a rendition may be behind the source. Pictures are shared, not
// copied, so this bounds the decoded pictures alive at once: memory does not
// grow with the input's length.
constexpr std::size_t QUEUE_CAPACITY = 16;

// Lets a stop reach the stages' queues for as long as it lives.
struct StagesWatched {
    StagesWatched(JobControl& watching, std::function<void()> stop_stages) : control(watching) {
        watch_stages(control, std::move(stop_stages));
    }
    ~StagesWatched() { unwatch_stages(control); }
    StagesWatched(const StagesWatched&) = delete;
    StagesWatched& operator=(const StagesWatched&) = delete;
    JobControl& control;
};

// The source stage and one stage per rendition of the report's plan, each on
// its own thread, joined before this returns.
void run_stages(SourceStage& source, JobReport& report, const EncodeRequest& request,
                JobControl& control) {
    const std::vector<Rendition>& plan = report.plan;
    // Skipped renditions get no stage and no queue.
    std::vector<std::size_t> made;
    for (std::size_t k = 0; k < plan.size(); ++k)
        if (plan[k].skip_reason.empty())
            made.push_back(k);
    std::vector<std::unique_ptr<MediaQueue>> queues;
    std::vector<MediaQueue*> listeners;
    for (std::size_t m = 0; m < made.size(); ++m) {
        queues.push_back(std::make_unique<MediaQueue>(QUEUE_CAPACITY));
        listeners.push_back(queues.back().get());
    }
    FanOut out = fan_out_to(listeners);
    const auto stop = [&out] { abort_all(out, JOB_STOPPED); };
    // Declared before the threads: a stop reaches the queues until every
    // thread was joined.
    const StagesWatched watched(control, stop);

    StageThreads threads(made.size() + 1, stop);
    for (std::size_t m = 0; m < made.size(); ++m) {
        const std::size_t k = made[m];
        threads.start([&, k, m] {
            run_rendition_stage(plan[k], request.profile, request.key_info, *queues[m], control,
                                report.outcomes[k]);
        });
    }
    threads.start([&] { run_source_stage(source, out, control); });
    threads.join_all();
}

// The sound part: the source stage, reading sound only, and its writer.
void run_sound_stages(SourceStage& source, JobReport& report, const EncodeRequest& request,
                      JobControl& control) {
    MediaQueue queue(QUEUE_CAPACITY);
    FanOut out = fan_out_to({&queue});
    const auto stop = [&out] { abort_all(out, JOB_STOPPED); };
    const StagesWatched watched(control, stop);
    StepStatus status;
    bool wrote = false;
    std::string why;
    StageThreads threads(2, stop);
    threads.start([&] {
        status = write_sound_part(queue, sound_file(request.part.work_dir), control, wrote, why);
    });
    threads.start([&] { run_source_stage(source, out, control); });
    threads.join_all();
    if (status.failed() && !control.cancelled.load())
        report.error = why.empty() ? failure_text(status) : why;
    report.master_written = wrote; // the sound file, for this part
}

std::vector<MasterEntry> created_renditions(const JobReport& report) {
    std::vector<MasterEntry> created;
    for (std::size_t k = 0; k < report.plan.size(); ++k)
        if (report.outcomes[k].created)
            created.push_back({&report.plan[k], &report.outcomes[k]});
    return created;
}

std::size_t skipped_renditions(const JobReport& report) {
    std::size_t skipped = 0;
    for (const Rendition& rendition : report.plan)
        skipped += rendition.skip_reason.empty() ? 0 : 1;
    return skipped;
}

// The last lines of a job that got past probing.
void finish_job(const EncodeRequest& request, JobReport& report, JobLog& log) {
    const std::string& output = request.output;
    const std::vector<MasterEntry> created = created_renditions(report);
    const std::size_t planned = report.plan.size() - skipped_renditions(report);
    const std::size_t failed = planned - created.size();
    // With variants planned but none made there is nothing to list; an older
    // playlist at `output` is left alone rather than replaced by an empty one.
    const bool playlist_due = planned == 0 || !created.empty();
    if (playlist_due) {
        report.master_written = write_master_playlist(
            output, created, request.profile.measured_master ? MasterStyle::measured
                                                             : MasterStyle::specified);
        if (report.master_written) {
            log_message(log, LOG_SUCCESS, "Encrypted Master playlist generated: " + output);
        } else {
            report.error = "Could not write master playlist: " + output;
            log_message(log, LOG_ERROR, report.error);
        }
    }
    if (failed > 0)
        log_message(log, LOG_ERROR,
                    "Transcoding finished with " + std::to_string(failed) + " of " +
                        std::to_string(planned) + " variants failed.");
    else if (report.master_written)
        log_message(log, LOG_SUCCESS, "All secure transcoding finished flawlessly.");
}

void fail_job(JobReport& report, JobLog& log, std::string error) {
    report.error = std::move(error);
    log_message(log, LOG_ERROR, report.error);
}

void end_stopped_job(JobReport& report, JobLog& log) {
    report.stopped = true;
    log_message(log, LOG_WARN, "Transcoding stopped: no master playlist written.");
}

} // namespace

void run_encode_job(const EncodeRequest& request, JobControl& control, JobReport& report) {
    JobLog& log = control.log;
    log_message(log, LOG_INFO, "Analyzing video file: " + request.input + "...");
    // The source keeps the input open from the probe to the end of the job;
    // the context's callbacks hold its address, so it stays where it is.
    auto source = std::make_unique<SourceStage>();
    const ProbeResult probe = open_source_input(request.input, source->input, control);
    // A stop interrupts the probe's reads, which then look like a bad input.
    if (control.cancelled.load())
        return end_stopped_job(report, log);
    if (probe == ProbeResult::cannot_open)
        return fail_job(report, log,
                        "Could not open " + request.input + ". Make sure the file exists.");
    if (probe == ProbeResult::no_video_stream)
        return fail_job(report, log, "No video stream found in the file.");
    AVStream& video_stream = *source->video_in();
    const AVCodecParameters& video = *video_stream.codecpar;
    log_message(log, LOG_INFO,
                "Detected video size: " + std::to_string(video.width) + "x" +
                    std::to_string(video.height));

    const SourceGeometry geometry = describe_source(request.profile, *source, video_stream);
    const PictureClock clock = choose_picture_clock(request.profile, video_stream);
    source->profile = request.profile;
    source->picture_time_base = clock.time_base();
    if (request.profile.keep_aspect || request.profile.source_frame_rate)
        log_message(log, LOG_INFO,
                    "Output pictures: " + size_text(geometry.displayed) + " as displayed, " +
                        frame_rate_text(clock.frame_rate) + " frames per second.");
    if (request.profile.sdr_bt709)
        describe_colours(*source, video_stream, report, log);
    publish_plan(report, plan_renditions(request, geometry, clock, log),
                 input_duration_us(source->input));
    if (source->colour.wanted)
        size_colour_work(source->colour, report.plan, geometry);
    const JobPart& part = request.part;
    source->wants_pictures = part.kind != PartKind::sound;
    source->wants_sound = part.kind != PartKind::pictures;
    source->first_tick = part.kind == PartKind::pictures ? part.first_tick : 0;
    // A fresh encoder starts its rate control from a guess and takes about a
    // second to find the quantiser the whole title's encoder has there by
    // then: a chunk's first key picture would come out blurred, worst at the
    // smallest renditions. Half a second before the window warms it up enough
    // for a fraction of a second's encode per chunk.
    source->warm_up_ticks = std::min<int64_t>(source->first_tick, clock.keyframe_interval / 4);
    source->end_tick = part.kind == PartKind::pictures ? part.end_tick : -1;
    if (part.kind == PartKind::sound)
        run_sound_stages(*source, report, request, control);
    else if (part.kind == PartKind::stitch)
        stitch_renditions(part, request.profile, request.key_info, control, report);
    else if (report.plan.size() > skipped_renditions(report))
        run_stages(*source, report, request, control);
    // Released before the last lines, which the libraries' own closing lines
    // would otherwise follow.
    source.reset();
    if (control.cancelled.load())
        return end_stopped_job(report, log);
    // A part other than the stitch leaves intermediates, not a package.
    if (part.kind == PartKind::whole || part.kind == PartKind::stitch)
        finish_job(request, report, log);
}
