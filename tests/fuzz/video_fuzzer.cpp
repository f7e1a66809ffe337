// libFuzzer entry point; the work is in fuzz_targets.hpp.
#include <cstddef>
#include <cstdint>

#include "fuzz_targets.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    lorvex::silence_ffmpeg_log();  // thousands of runs a second, each complaining otherwise
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lorvex::fuzz::video_input({data, size});
    return 0;
}
