// A split job's sound: the source stage's own AAC packets, over the whole
// title (loudness is measured over all of it), kept for the stitch in an
// intermediate file with their timestamps as the encoder gave them.
#include <cerrno>
#include <cstdio>

#include "job/split_parts.h"
#include "media/ffmpeg_owners.h"
#include "media/nut_file.h"

namespace {

constexpr const char* SOURCE_FAILED = "the source stage failed";

StepStatus write_packets(MediaQueue& in, AVFormatContext* fmt_ctx, const AVStream* stream,
                         AVRational time_base, const JobControl& control) {
    MediaItem item;
    while (in.pop(item)) {
        if (control.cancelled.load())
            return step_failed(JOB_STOPPED, 0);
        if (item.kind != MediaItem::Kind::audio_packet)
            continue;
        AVPacket* pkt = item.audio_packet.get();
        pkt->stream_index = stream->index;
        av_packet_rescale_ts(pkt, time_base, stream->time_base);
        // The muxer takes the packet's reference on success and failure alike.
        const int ret = av_interleaved_write_frame(fmt_ctx, pkt);
        if (ret < 0)
            return step_failed("could not write an audio packet", ret);
    }
    return step_ok();
}

} // namespace

StepStatus write_sound_part(MediaQueue& in, const std::string& path, const JobControl& control,
                            bool& wrote, std::string& why) {
    wrote = false;
    MediaItem first;
    StepStatus status;
    if (!in.pop(first) || first.kind != MediaItem::Kind::audio_parameters) {
        status = step_failed(SOURCE_FAILED, 0);
    } else if (!first.audio) {
        // Nothing to write; the source's end is still waited for.
        MediaItem item;
        while (in.pop(item)) {
        }
    } else {
        FormatContextPtr output;
        AVStream* stream = nullptr;
        const std::string partial = partial_name(path);
        status = open_nut_output(partial, *first.audio->codecpar, first.audio->time_base, output,
                                 stream);
        if (!status.failed())
            status = write_packets(in, output.get(), stream, first.audio->time_base, control);
        if (!status.failed() && in.aborted())
            status = step_failed(SOURCE_FAILED, 0);
        if (!status.failed()) {
            const int ret = av_write_trailer(output.get());
            if (ret < 0)
                status = step_failed("could not write the trailer", ret);
        }
        if (!status.failed()) {
            const int ret = avio_closep(&output->pb);
            if (ret < 0)
                status = step_failed("could not write the sound file", ret);
        }
        if (!status.failed() && std::rename(partial.c_str(), path.c_str()) != 0)
            status = step_failed("could not write the sound file", AVERROR(errno));
        wrote = !status.failed();
        if (status.failed())
            std::remove(partial.c_str());
    }
    if (status.failed())
        in.abort("");
    if (in.aborted() && status.step == SOURCE_FAILED)
        why = in.why();
    return status;
}
