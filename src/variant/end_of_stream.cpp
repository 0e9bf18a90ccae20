#include "variant/end_of_stream.h"

#include "variant/audio_path.h"
#include "variant/packet_writer.h"
#include "variant/video_path.h"

StepStatus drain_and_flush(VariantPipeline &p) {
    avcodec_send_packet(p.video_dec.get(), nullptr);
    StepStatus status = encode_decoded_pictures(p);
    if (status.failed())
        return status;
    status = encode_and_write(p.video_enc.get(), p.output.get(), p.video_out, nullptr,
                              p.enc_pkt.get(), &p.video_timeline);
    if (status.failed())
        return status;
    return finish_audio(p);
}

StepStatus write_trailer(VariantPipeline &p) {
    p.header_written = false;
    const int ret = av_write_trailer(p.output.get());
    if (ret < 0)
        return step_failed("could not write the trailer", ret);
    return step_ok();
}
