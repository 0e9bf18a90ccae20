// The end of a variant: drains, flushes and the trailer.
#pragma once

#include "variant/variant_pipeline.h"

// Video first, completely, then audio: drain the video decoder, flush the
// video encoder, drain and flush the audio path, flush the audio encoder.
// Fails when not a single picture reached the video encoder.
StepStatus drain_and_flush(VariantPipeline& pipeline);

// Closes the variant playlist. Called on every way out once the header was
// written, so that what stays on disk is a closed playlist.
StepStatus write_trailer(VariantPipeline& pipeline);
