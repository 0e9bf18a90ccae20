// The audio branch of a variant: decode, normalise loudness, cut whole encoder
// frames from the FIFO, encode, write.
#pragma once

#include "variant/variant_pipeline.h"

// Sends the read packet to the audio decoder and takes every frame it yields
// through the filter graph into the FIFO, encoding each whole encoder frame.
StepStatus process_audio_packet(VariantPipeline& pipeline);

// End of stream, in this order: drain the decoder into the FIFO, flush the
// filter graph into the FIFO, encode the FIFO's tail, flush the encoder.
StepStatus finish_audio(VariantPipeline& pipeline);
