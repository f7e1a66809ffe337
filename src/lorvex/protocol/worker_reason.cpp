#include "lorvex/protocol/worker_reason.hpp"
#include "lorvex/protocol/names.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace lorvex {
namespace {

constexpr std::string_view kBlank = " \t\r\n";

std::string_view trimmed(std::string_view line) {
    const std::size_t end = line.find_last_not_of(kBlank);
    return end == std::string_view::npos ? std::string_view{} : line.substr(0, end + 1);
}

}  // namespace

void write_reason_line(const char* reason) noexcept {
    // One write, so that the line stays whole beside anything else writing to the file.
    std::string line(names::kReasonPrefix);
    line.append(" ").append(reason).push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

std::string worker_reason(std::string_view log) {
    std::optional<std::string_view> last_reason;
    std::string_view last_line;
    while (!log.empty()) {
        const std::size_t end = log.find('\n');
        const std::string_view line = trimmed(log.substr(0, end));
        log = end == std::string_view::npos ? std::string_view{} : log.substr(end + 1);
        if (line.empty()) continue;
        last_line = line;
        if (!line.starts_with(names::kReasonPrefix)) continue;
        const std::string_view said = line.substr(names::kReasonPrefix.size());
        last_reason = said.substr(std::min(said.size(), said.find_first_not_of(kBlank)));
    }
    return std::string(last_reason.value_or(last_line));
}

}  // namespace lorvex
