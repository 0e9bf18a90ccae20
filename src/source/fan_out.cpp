#include "source/fan_out.h"

#include <utility>

namespace {

// Pushes the item made by `make` for every listening rendition that `takes`
// it. `make` returns a negative AVERROR when it could not make the item.
template <typename Takes, typename Make>
StepStatus deliver(FanOut& out, const char* step, Takes takes, Make make) {
    for (std::size_t k = 0; k < out.queues.size(); ++k) {
        if (out.detached[k] || !takes(k))
            continue;
        MediaItem item;
        const int ret = make(item, k);
        if (ret < 0)
            return step_failed(step, ret);
        if (!out.queues[k]->push(std::move(item)))
            out.detached[k] = 1;
    }
    return step_ok();
}

} // namespace

FanOut fan_out_to(const std::vector<MediaQueue*>& queues) {
    return {queues, std::vector<char>(queues.size(), 0), std::vector<char>(queues.size(), 1),
            std::vector<int>(queues.size(), 0)};
}

bool anyone_listening(const FanOut& out) {
    for (const char detached : out.detached)
        if (!detached)
            return true;
    return false;
}

void deliver_audio_parameters(
    FanOut& out, const std::vector<std::shared_ptr<const AudioStreamParameters>>& tracks) {
    deliver(
        out, "", [](std::size_t) { return true; },
        [&](MediaItem& item, std::size_t k) {
            item.kind = MediaItem::Kind::audio_parameters;
            const int track = out.audio_track[k];
            if (track >= 0 && static_cast<std::size_t>(track) < tracks.size())
                item.audio = tracks[static_cast<std::size_t>(track)];
            return 0;
        });
}

StepStatus deliver_picture(FanOut& out, const AVFrame* picture, int64_t pts,
                           MediaDuration duration) {
    return deliver(
        out, "could not share a picture", [&out](std::size_t k) { return out.takes_pictures[k]; },
        [&](MediaItem& item, std::size_t) {
            item.kind = MediaItem::Kind::picture;
            item.picture.reset(av_frame_alloc());
            if (!item.picture)
                return AVERROR(ENOMEM);
            const int ret = av_frame_ref(item.picture.get(), picture);
            if (ret < 0)
                return ret;
            item.picture->pts = pts;
            item.picture_duration = duration;
            return 0;
        });
}

StepStatus deliver_audio_packet(FanOut& out, int track, const AVPacket* pkt) {
    return deliver(
        out, "could not share an audio packet",
        [&out, track](std::size_t k) { return out.audio_track[k] == track; },
        [pkt](MediaItem& item, std::size_t) {
            item.kind = MediaItem::Kind::audio_packet;
            item.audio_packet.reset(av_packet_clone(pkt));
            return item.audio_packet ? 0 : AVERROR(ENOMEM);
        });
}

void deliver_video_end(FanOut& out) {
    deliver(
        out, "", [](std::size_t) { return true; },
        [](MediaItem& item, std::size_t) {
            item.kind = MediaItem::Kind::video_end;
            return 0;
        });
}

void close_all(FanOut& out) {
    for (MediaQueue* queue : out.queues)
        queue->close();
}

void abort_all(FanOut& out, const std::string& why) {
    for (MediaQueue* queue : out.queues)
        queue->abort(why);
}
