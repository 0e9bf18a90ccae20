#include "variant/end_of_stream.h"

#include "variant/audio_path.h"
#include "variant/packet_writer.h"
#include "variant/video_path.h"

StepStatus drain_and_flush(VariantPipeline& p) {
    avcodec_send_packet(p.video_dec.get(), nullptr);
    StepStatus status = encode_decoded_pictures(p);
    if (status.failed())
        return status;
    status = encode_and_write(p.video_enc.get(), p.output.get(), p.video_out, nullptr,
                              p.enc_pkt.get(), &p.video_timeline);
    if (status.failed())
        return status;
    status = finish_audio(p);
    if (status.failed())
        return status;
    // An input whose pictures all failed to decode (broken, or larger than the
    // decoder accepts) would otherwise leave a playable-looking variant with
    // no picture in it.
    if (p.video_timeline.last_pts == AV_NOPTS_VALUE)
        return step_failed("no picture could be decoded from the input", AVERROR_INVALIDDATA);
    return step_ok();
}

StepStatus write_trailer(VariantPipeline& p) {
    p.header_written = false;
    const int ret = av_write_trailer(p.output.get());
    if (ret < 0)
        return step_failed("could not write the trailer", ret);
    return step_ok();
}
