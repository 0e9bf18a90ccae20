// The video branch of a variant: decode, scale, retime, encode, write.
#pragma once

#include "variant/variant_pipeline.h"

// Sends the read packet to the video decoder and encodes every picture it
// yields. A packet the decoder refuses is dropped, not a failure.
StepStatus process_video_packet(VariantPipeline& pipeline);

// Encodes every picture the video decoder still yields (after the read packet
// or the end-of-stream signal was sent to it).
StepStatus encode_decoded_pictures(VariantPipeline& pipeline);
