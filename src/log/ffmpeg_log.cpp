// The av_log callback. FFmpeg calls it from any thread (the engine's stages,
// libavcodec's and libx264's worker threads), possibly with a line in pieces,
// and whatever its level: filtering by av_log_get_level is the callback's job.
#include "log/ffmpeg_log.h"

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <string>
#include <utility>

extern "C" {
#include <libavutil/log.h>
}

namespace {

thread_local JobLog* thread_log = nullptr;
// av_log_format_line2's state: whether the next piece starts a line and so
// gets the "[context @ address] " prefix. Per thread, as lines are.
thread_local int print_prefix = 1;
// A line's pieces until its newline.
thread_local std::string pending;

std::atomic<int> buffered_jobs{0};

// Never destroyed: a codec's thread may log while the process exits.
JobLog& unattributed_log() {
    static JobLog* log = [] {
        auto* made = new JobLog;
        made->buffered = true;
        return made;
    }();
    return *log;
}

void append_pending(JobLog& log, int level) {
    LogLine line{level, std::move(pending), true};
    pending.clear();
    const std::lock_guard<std::mutex> lock(log.mutex);
    log.lines.push_back(std::move(line));
}

void ffmpeg_log_callback(void* avcl, int level, const char* fmt, va_list vl) {
    JobLog* log = thread_log;
    if (!log && buffered_jobs.load(std::memory_order_relaxed) > 0)
        log = &unattributed_log();
    if (!log || !log->buffered) {
        av_log_default_callback(avcl, level, fmt, vl);
        return;
    }
    // The level's high bits may carry a colour for the terminal.
    const int bare_level = level >= 0 ? level & 0xff : level;
    if (bare_level > av_log_get_level())
        return;
    // Most lines fit; a longer one (a codec's whole option list) is formatted
    // again at its length, so that it keeps its end and its line break.
    va_list again;
    va_copy(again, vl);
    const int prefix_before = print_prefix;
    char text[1024];
    int length = av_log_format_line2(avcl, level, fmt, vl, text, static_cast<int>(sizeof text),
                                     &print_prefix);
    if (length >= static_cast<int>(sizeof text)) {
        std::string whole(static_cast<std::size_t>(length) + 1, '\0');
        print_prefix = prefix_before;
        length = av_log_format_line2(avcl, level, fmt, again, whole.data(), length + 1,
                                     &print_prefix);
        whole.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
        pending.append(whole);
    } else if (length >= 0) {
        pending.append(text);
    }
    va_end(again);
    // Negative when the format cannot be expanded: nothing to keep.
    if (length < 0)
        return;
    if (!pending.empty() && pending.back() == '\n') {
        pending.pop_back();
        append_pending(*log, bare_level);
    }
}

} // namespace

void route_ffmpeg_log() {
    av_log_set_callback(ffmpeg_log_callback);
}

FfmpegLogScope::FfmpegLogScope(JobLog* log) : previous_(thread_log) {
    thread_log = log;
}

FfmpegLogScope::~FfmpegLogScope() {
    // A last piece without its newline still belongs to this owner.
    if (!pending.empty() && thread_log && thread_log->buffered)
        append_pending(*thread_log, AV_LOG_INFO);
    pending.clear();
    print_prefix = 1;
    thread_log = previous_;
}

JobLog* current_ffmpeg_log() {
    return thread_log;
}

BufferedJobMark::BufferedJobMark() {
    buffered_jobs.fetch_add(1);
}

BufferedJobMark::~BufferedJobMark() {
    buffered_jobs.fetch_sub(1);
}

std::vector<LogLine> take_unattributed_ffmpeg_lines() {
    return take_log_lines(unattributed_log());
}
