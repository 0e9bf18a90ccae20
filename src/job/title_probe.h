// What a job learns of its title from the opened input, before any work: the
// facts a whole job uses and a split job's plan hands to every part.
#pragma once

#include <vector>

#include "pipeline/encode_profile.h"
#include "pipeline/title.h"
#include "source/source_input.h"

// The title's origin, clock, colours and tracks (with the caller's sidecar
// subtitle files), for jobs of `profile`.
Title describe_title(const SourceInput& input, const EncodeProfile& profile,
                     const std::vector<Sidecar>& sidecars);
