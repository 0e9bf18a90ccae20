// A pictures part's output: the rendition's encoded pictures in an
// intermediate file, so that the stitch gets back every packet with the
// timestamps the whole-title encode would have given it.
#include <cerrno>
#include <cstdio>

#include "media/nut_file.h"
#include "rendition/rendition_stage.h"

StepStatus open_intermediate_output(RenditionStage& r) {
    const std::string path = partial_name(r.rendition.intermediate_path);
    // Listed before it exists: a stop removes it whatever happens next.
    r.output_files.written.push_back(path);
    const StepStatus status = open_nut_output(path, *r.video_par, r.rendition.clock.time_base(),
                                              r.output, r.video_out);
    r.header_written = !status.failed();
    return status;
}

StepStatus place_intermediate_file(const Rendition& rendition) {
    const std::string& path = rendition.intermediate_path;
    if (std::rename(partial_name(path).c_str(), path.c_str()) != 0)
        return step_failed(WRITE_STEP, AVERROR(errno));
    return step_ok();
}
