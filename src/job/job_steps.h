// The steps every job of the engine shares: opening and planning it, running
// its stages, ending it.
#pragma once

#include <cstddef>
#include <memory>

#include "job/encode_job.h"
#include "source/source_stage.h"

// Items a rendition may be behind the source. Pictures are shared, not
// copied, so this bounds the decoded pictures alive at once: memory does not
// grow with the input's length.
constexpr std::size_t QUEUE_CAPACITY = 16;

// What a job makes of the title: its package (video and audio renditions),
// a split job's chunks of pictures, or a split job's sound.
enum class JobMakes { package, chunks, sound };

// What each job does first: opens and probes the input, logs what it found,
// takes the title (the plan's, or its own from the probe) into the report
// and plans the renditions it makes. Returns the source ready to run, or
// null when the job ended here (and said why).
std::unique_ptr<SourceStage> open_job(const EncodeRequest& request, JobControl& control,
                                      JobReport& report, JobMakes makes);

// The source stage and one stage per rendition of the report's plan, each on
// its own thread, joined before this returns (job_stages.cpp).
void run_stages(SourceStage& source, JobReport& report, const EncodeRequest& request,
                JobControl& control);

// The source stage, reading sound only, and its writer into the work
// directory (job_stages.cpp).
void run_sound_stages(SourceStage& source, JobReport& report, const EncodeRequest& request,
                      JobControl& control);

// Renditions planned but not made: their frame would be larger than the source.
std::size_t skipped_renditions(const JobReport& report);

// The end of a job that makes a package: its subtitle renditions, the master
// playlist of the renditions created, and the line that sums the job up.
void finish_job(const EncodeRequest& request, JobReport& report, JobControl& control);

void end_stopped_job(JobReport& report, JobLog& log);
