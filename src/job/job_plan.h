// Planning a job once its input is open: what its picture is, which
// renditions it gets and how large, what its colours are and what the log
// and the report say of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "job/encode_job.h"
#include "job/rendition_ladder.h"
#include "source/source_stage.h"

struct SourceGeometry {
    FrameSize coded;
    FrameSize displayed; // turned and with square pixels, as players show it
};

// The coded picture, and for a profile that turns it upright, as displayed;
// sets the source's orientation.
SourceGeometry describe_source(const EncodeProfile& profile, SourceStage& source,
                               AVStream& video);

// One rendition per known name, in the caller's order, on `clock`. Bitrates
// pair with names by position; a position without one takes the name's
// default. Unknown and repeated names are skipped with a warning.
std::vector<Rendition> plan_renditions(const EncodeRequest& request, const SourceGeometry& source,
                                       const PictureClock& clock, JobLog& log);

// A title with two or more audio tracks: one audio rendition per track,
// after the video renditions.
void plan_audio_renditions(const EncodeRequest& request, const Title& title,
                           std::vector<Rendition>& plan);

// One warning per stream the package leaves out, saying why.
void report_left_out_streams(const Title& title, JobLog& log);

// Hands the plan to the report, where readers of progress find it.
void publish_plan(JobReport& report, std::vector<Rendition> plan, int64_t duration_us);

// The source's colours, for a profile that makes SDR BT.709 of them: what the
// source stage converts from (`final`: the plan's, which no picture adds
// to), and what the report and the log say of it.
void describe_colours(SourceStage& source, const ColourDescription& colour, bool final,
                      JobReport& report, JobLog& log);

// Converted pictures made no larger than the largest rendition needs.
void size_colour_work(ColourStage& stage, const std::vector<Rendition>& plan,
                      const SourceGeometry& source);

std::string size_text(FrameSize size);
std::string frame_rate_text(AVRational rate);

// The input's length as its container states it, or -1.
int64_t input_duration_us(const SourceInput& input);
