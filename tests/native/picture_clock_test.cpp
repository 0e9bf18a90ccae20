// The output clock chosen from what a video stream states: rates the Python
// suite cannot make cheaply (above 60 fps, unknown, a variable rate whose
// average is above 30).
#include <gtest/gtest.h>

#include <string>

#include "job/output_frame_rate.h"

namespace {

struct ClockCase {
    const char* name;
    AVRational stated;  // r_frame_rate
    AVRational average; // avg_frame_rate
    AVRational rate;
    int keyframe_interval;
    const char* segment_seconds;
};

class PictureClockTest : public ::testing::TestWithParam<ClockCase> {};

TEST_P(PictureClockTest, FollowsTheSourceRate) {
    const ClockCase& c = GetParam();
    AVStream stream{};
    stream.r_frame_rate = c.stated;
    stream.avg_frame_rate = c.average;
    const PictureClock clock = choose_picture_clock(package_profile(false), stream);
    EXPECT_EQ(av_cmp_q(clock.frame_rate, c.rate), 0)
        << clock.frame_rate.num << "/" << clock.frame_rate.den;
    EXPECT_EQ(clock.keyframe_interval, c.keyframe_interval);
    EXPECT_EQ(clock.segment_seconds, c.segment_seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, PictureClockTest,
    ::testing::Values(ClockCase{"ntsc_film", {24000, 1001}, {24000, 1001}, {24000, 1001}, 48,
                                "6.006000"},
                      ClockCase{"pal", {25, 1}, {25, 1}, {25, 1}, 50, "6.000000"},
                      ClockCase{"fifteen", {15, 1}, {15, 1}, {15, 1}, 30, "6.000000"},
                      ClockCase{"high_120", {120, 1}, {120, 1}, {30, 1}, 60, "6.000000"},
                      ClockCase{"ntsc_60", {60000, 1001}, {60000, 1001}, {30000, 1001}, 60,
                                "6.006000"},
                      ClockCase{"phone_jitter", {30, 1}, {2987, 100}, {30, 1}, 60, "6.000000"},
                      ClockCase{"variable_fast", {90000, 1}, {5930, 100}, {30000, 1001}, 60,
                                "6.006000"},
                      ClockCase{"variable_slow", {30, 1}, {24, 1}, {24, 1}, 48, "6.000000"},
                      ClockCase{"unknown", {0, 0}, {0, 0}, {30, 1}, 60, "6.000000"}),
    [](const ::testing::TestParamInfo<ClockCase>& param) { return std::string(param.param.name); });

TEST(PictureClock, TheSpecifiedProfileKeepsThirtyFramesAndSixSeconds) {
    AVStream stream{};
    stream.r_frame_rate = {25, 1};
    stream.avg_frame_rate = {25, 1};
    const PictureClock clock = choose_picture_clock(specified_profile(), stream);
    EXPECT_EQ(av_cmp_q(clock.frame_rate, AVRational{30, 1}), 0);
    EXPECT_EQ(clock.keyframe_interval, 60);
    EXPECT_EQ(clock.segment_seconds, "6");
}

} // namespace
