// FFmpeg's own lines (av_log): those of a job whose log is buffered join that
// log beside the engine's lines, so that a library caller gets them through its
// logger; every other line takes FFmpeg's default way, standard error.
#pragma once

#include <vector>

#include "log/job_log.h"

// Installs the process-wide av_log callback. Idempotent; call before any job
// runs.
void route_ffmpeg_log();

// While it lives, FFmpeg's lines logged on this thread belong to `log` (buffered
// or not; null for none). Nests: the previous owner is restored.
class FfmpegLogScope {
  public:
    explicit FfmpegLogScope(JobLog* log);
    ~FfmpegLogScope();
    FfmpegLogScope(const FfmpegLogScope&) = delete;
    FfmpegLogScope& operator=(const FfmpegLogScope&) = delete;

  private:
    JobLog* previous_;
};

// The log FFmpeg's lines of this thread belong to, or null: what a thread
// started from here hands on to its own scope.
JobLog* current_ffmpeg_log();

// Marks a buffered job as running. While any is, FFmpeg's lines from threads
// that belong to no job (the codecs' own worker threads) are kept for the next
// caller of take_unattributed_ffmpeg_lines rather than printed.
class BufferedJobMark {
  public:
    BufferedJobMark();
    ~BufferedJobMark();
    BufferedJobMark(const BufferedJobMark&) = delete;
    BufferedJobMark& operator=(const BufferedJobMark&) = delete;
};

std::vector<LogLine> take_unattributed_ffmpeg_lines();
