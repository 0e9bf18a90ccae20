#include "media/ffmpeg_owners.h"

#include "media/step_status.h"

extern "C" {
#include <libavutil/error.h>
}

void close_format_context(AVFormatContext* fmt_ctx) {
    if (!fmt_ctx)
        return;
    if (fmt_ctx->iformat) {
        avformat_close_input(&fmt_ctx);
        return;
    }
    if (fmt_ctx->oformat && !(fmt_ctx->oformat->flags & AVFMT_NOFILE) && fmt_ctx->pb)
        avio_closep(&fmt_ctx->pb);
    avformat_free_context(fmt_ctx);
}

std::string av_error_text(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

std::string failure_text(const StepStatus& status) {
    return std::string(status.step) + ": " + av_error_text(status.error);
}
