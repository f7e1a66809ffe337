// libFuzzer entry point; the work is in fuzz_targets.hpp.
#include <cstddef>
#include <cstdint>

#include "fuzz_targets.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lorvex::fuzz::frame_format_input({data, size});
    return 0;
}
