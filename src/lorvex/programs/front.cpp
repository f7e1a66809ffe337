// The fronts of the worker programs (see worker_program.hpp). Nothing here may need the FFmpeg
// libraries: the programs are linked with only the libraries their code uses, and a test checks
// that these load none of FFmpeg's.
#include <sys/auxv.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "lorvex/programs/front.hpp"
#include "lorvex/protocol/command_line.hpp"
#include "lorvex/protocol/decoder_handover.hpp"
#include "lorvex/protocol/frame_table_file.hpp"
#include "lorvex/protocol/interpolation_names.hpp"
#include "lorvex/protocol/job_blocks.hpp"
#include "lorvex/protocol/names.hpp"
#include "lorvex/protocol/owned_frames.hpp"
#include "lorvex/protocol/video_path.hpp"
#include "lorvex/protocol/worker_guard.hpp"

namespace lorvex {
namespace {

// True only when the decoder would end at once without writing: every check it makes first
// passes, and the table the loader handed over puts none of the requested frames in the job's
// intervals. Anything else, a failure included, is the decoder's to find and report.
bool surely_owns_nothing(const WorkerJob& job) {
    try {
        require_rereadable(job.video_path);
        require_interpolation_name(job.interpolation);
        if (job.height <= 0 || job.width <= 0) return false;
        const std::optional<FrameTable> table = inherited_frame_table(job.video_path);
        return table && owns_nothing(owned_by_interval(job, *table));
    } catch (const std::exception&) {
        return false;
    }
}

// The folder of this program, symbolic links resolved; without /proc, the path it was started
// by (execve's, which subprocess resolves along PATH).
std::string decoder_path() {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path;
    if (length > 0) {
        path.assign(self, static_cast<std::size_t>(length));
    } else if (const auto* started_as = reinterpret_cast<const char*>(getauxval(AT_EXECFN))) {
        path = started_as;
    }
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        throw std::runtime_error("Could not find the decoder program: the folder of " +
                                 (path.empty() ? std::string("this program") : path) +
                                 " is unknown");
    }
    path.erase(slash + 1);
    path.append(names::kDecoderProgram);
    return path;
}

// Replaces this process with the decoder `path`, handing it the mode and the whole command
// line; returns only by throwing.
void become_decoder(const std::string& path, std::string_view mode, int argc,
                    const char* const* argv) {
    const std::string program(names::kDecoderProgram);
    const std::string mode_item(mode);
    std::vector<char*> arguments{const_cast<char*>(program.c_str()),
                                 const_cast<char*>(mode_item.c_str())};
    for (int i = 1; i < argc; ++i) arguments.push_back(const_cast<char*>(argv[i]));
    arguments.push_back(nullptr);
    execv(path.c_str(), arguments.data());
    throw std::runtime_error("Could not start " + path + ": " + std::strerror(errno));
}

// A front with frames to decode hands its job to the decoder service, where its caller runs
// one, and otherwise becomes the decoder itself; either way it ends as the decoder ended.
template <typename Parse>
int run_front(std::string_view mode, Parse parse, int argc, const char* const* argv) noexcept {
    int decoder_status = 0;
    const int status = run_guarded([&] {
        const WorkerJob job = parse(argc, argv);
        {
            // Missing or mismatched blocks fail every worker, whether it owns frames or not.
            const JobBlocks blocks = attach_job_blocks(job);
            if (surely_owns_nothing(job)) return;
        }
        const std::string decoder = decoder_path();
        const std::optional<int> handed_over = hand_over_to_service(decoder, mode, argc, argv);
        if (!handed_over) become_decoder(decoder, mode, argc, argv);
        decoder_status = *handed_over;
    });
    return status != 0 ? status : decoder_status;
}

}  // namespace

int run_one_shot_front(int argc, const char* const* argv) noexcept {
    return run_front(names::kOneShotMode, parse_one_shot_command_line, argc, argv);
}

int run_interleaved_front(int argc, const char* const* argv) noexcept {
    return run_front(names::kInterleavedMode, parse_interleaved_command_line, argc, argv);
}

}  // namespace lorvex
