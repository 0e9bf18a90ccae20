// FFmpeg's lines as the av_log callback routes them, which the Python suite
// sees only in part: a line from a thread no job started, pieces of a line,
// the level filter.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "job/stage_threads.h"
#include "log/ffmpeg_log.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

void expect_lines(const std::vector<LogLine>& lines, const std::vector<LogLine>& expected) {
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t k = 0; k < lines.size(); ++k) {
        EXPECT_EQ(lines[k].level, expected[k].level) << k;
        EXPECT_EQ(lines[k].message, expected[k].message) << k;
        EXPECT_TRUE(lines[k].from_ffmpeg) << k;
    }
}

} // namespace

TEST(FfmpegLog, LinesOfABufferedJobGoToItsLogWhicheverThreadLogsThem) {
    route_ffmpeg_log();
    av_log_set_level(AV_LOG_INFO);
    JobLog log;
    log.buffered = true;
    {
        const BufferedJobMark running;
        const FfmpegLogScope scope(&log);
        av_log(nullptr, AV_LOG_WARNING, "one line ");
        av_log(nullptr, AV_LOG_WARNING, "in %d pieces\n", 2);
        av_log(nullptr, AV_LOG_DEBUG, "below av_log's level\n");
        // A stage takes the job of the thread that starts it.
        StageThreads stages(1, [] {});
        stages.start([] { av_log(nullptr, AV_LOG_ERROR, "from a stage\n"); });
        stages.join_all();
        // A codec's own thread belongs to no job.
        std::thread([] { av_log(nullptr, AV_LOG_INFO, "from a codec's thread\n"); }).join();
    }
    expect_lines(take_log_lines(log),
                 {{AV_LOG_WARNING, "one line in 2 pieces", true}, {AV_LOG_ERROR, "from a stage", true}});
    expect_lines(take_unattributed_ffmpeg_lines(), {{AV_LOG_INFO, "from a codec's thread", true}});
}

TEST(FfmpegLog, ALineLongerThanTheBufferKeepsItsEndAndItsBreak) {
    route_ffmpeg_log();
    av_log_set_level(AV_LOG_INFO);
    JobLog log;
    log.buffered = true;
    const std::string long_text(3000, 'x');
    {
        const FfmpegLogScope scope(&log);
        av_log(nullptr, AV_LOG_WARNING, "%s\n", long_text.c_str());
        av_log(nullptr, AV_LOG_WARNING, "the next line\n");
    }
    expect_lines(take_log_lines(log),
                 {{AV_LOG_WARNING, long_text, true}, {AV_LOG_WARNING, "the next line", true}});
}
