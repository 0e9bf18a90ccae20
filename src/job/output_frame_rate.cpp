#include "job/output_frame_rate.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

constexpr std::array<AVRational, 5> STANDARD_RATES{
    {{24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1}}};
constexpr AVRational MAX_RATE{30, 1};
// The container's rate and the measured average agree this closely in a
// constant-rate stream; phones' variable-rate clips differ by more.
constexpr double CONSTANT_RATE_TOLERANCE = 0.01;
constexpr int KEYFRAME_SECONDS = 2;
constexpr int KEYFRAMES_PER_SEGMENT = 3;

bool usable(AVRational rate) {
    // Below one picture per second a stream's stated rate says little.
    return rate.num > 0 && rate.den > 0 && av_q2d(rate) >= 1.0;
}

AVRational halved_to_at_most_30(AVRational rate) {
    while (av_cmp_q(rate, MAX_RATE) > 0)
        rate = av_mul_q(rate, AVRational{1, 2});
    return rate;
}

AVRational nearest_standard_rate(double rate) {
    AVRational nearest = STANDARD_RATES.back();
    double distance = INFINITY;
    for (const AVRational standard : STANDARD_RATES) {
        const double d = std::fabs(av_q2d(standard) - rate);
        if (d < distance) {
            distance = d;
            nearest = standard;
        }
    }
    return nearest;
}

AVRational source_frame_rate(const AVStream& video) {
    const AVRational stated = video.r_frame_rate;
    const AVRational average = video.avg_frame_rate;
    if (usable(stated) && usable(average)) {
        const double ratio = av_q2d(average) / av_q2d(stated);
        if (std::fabs(ratio - 1.0) <= CONSTANT_RATE_TOLERANCE)
            return halved_to_at_most_30(stated);
    }
    if (usable(average))
        return nearest_standard_rate(av_q2d(halved_to_at_most_30(average)));
    if (usable(stated))
        return nearest_standard_rate(av_q2d(halved_to_at_most_30(stated)));
    return MAX_RATE;
}

} // namespace

PictureClock clock_at_rate(AVRational frame_rate) {
    PictureClock clock;
    clock.frame_rate = frame_rate;
    const double rate = av_q2d(clock.frame_rate);
    clock.keyframe_interval =
        std::max(1, static_cast<int>(std::lround(KEYFRAME_SECONDS * rate)));
    // Rounded down to the microsecond the option holds, so that the keyframe
    // that ends a segment always reaches the muxer's cut.
    const int64_t segment_us =
        av_rescale_rnd(int64_t{KEYFRAMES_PER_SEGMENT} * clock.keyframe_interval * AV_TIME_BASE,
                       clock.frame_rate.den, clock.frame_rate.num, AV_ROUND_DOWN);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%lld.%06lld",
                  static_cast<long long>(segment_us / AV_TIME_BASE),
                  static_cast<long long>(segment_us % AV_TIME_BASE));
    clock.segment_seconds = seconds;
    clock.segment_pictures = KEYFRAMES_PER_SEGMENT * clock.keyframe_interval;
    return clock;
}

PictureClock choose_picture_clock(const EncodeProfile& profile, const AVStream& video) {
    if (!profile.source_frame_rate)
        return PictureClock();
    return clock_at_rate(source_frame_rate(video));
}
