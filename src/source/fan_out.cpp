#include "source/fan_out.h"

#include <utility>

namespace {

// Pushes the item made by `make` for every listening rendition. `make` returns
// false when it could not make the item (no memory).
template <typename Make> StepStatus deliver(FanOut& out, const char* step, Make make) {
    for (std::size_t k = 0; k < out.queues.size(); ++k) {
        if (out.detached[k])
            continue;
        MediaItem item;
        const int ret = make(item);
        if (ret < 0)
            return step_failed(step, ret);
        if (!out.queues[k]->push(std::move(item)))
            out.detached[k] = 1;
    }
    return step_ok();
}

} // namespace

FanOut fan_out_to(const std::vector<MediaQueue*>& queues) {
    return {queues, std::vector<char>(queues.size(), 0)};
}

bool anyone_listening(const FanOut& out) {
    for (const char detached : out.detached)
        if (!detached)
            return true;
    return false;
}

void deliver_audio_parameters(FanOut& out,
                              const std::shared_ptr<const AudioStreamParameters>& audio) {
    deliver(out, "", [&audio](MediaItem& item) {
        item.kind = MediaItem::Kind::audio_parameters;
        item.audio = audio;
        return 0;
    });
}

StepStatus deliver_picture(FanOut& out, const AVFrame* picture, int64_t pts,
                           MediaDuration duration) {
    return deliver(out, "could not share a picture", [&](MediaItem& item) {
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

StepStatus deliver_audio_packet(FanOut& out, const AVPacket* pkt) {
    return deliver(out, "could not share an audio packet", [pkt](MediaItem& item) {
        item.kind = MediaItem::Kind::audio_packet;
        item.audio_packet.reset(av_packet_clone(pkt));
        return item.audio_packet ? 0 : AVERROR(ENOMEM);
    });
}

void deliver_video_end(FanOut& out) {
    deliver(out, "", [](MediaItem& item) {
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
