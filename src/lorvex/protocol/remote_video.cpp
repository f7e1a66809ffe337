#include "lorvex/protocol/remote_video.hpp"

#include <charconv>
#include <cstdio>

#include "lorvex/protocol/socket_io.hpp"

namespace lorvex::remote_video {
namespace {

// No file system gives a file this device: an object's identity never equals a file's.
constexpr std::uint64_t kRemoteDevice = ~std::uint64_t{0};

template <typename Number>
std::optional<Number> number_until(std::string_view& text, char stop, int base) {
    const std::size_t end = text.find(stop);
    if (end == std::string_view::npos || end == 0) return std::nullopt;
    Number value{};
    const auto [last, error] = std::from_chars(text.data(), text.data() + end, value, base);
    if (error != std::errc() || last != text.data() + end) return std::nullopt;
    text.remove_prefix(end + 1);
    return value;
}

}  // namespace

std::string format_locator(const Locator& locator) {
    char version[17];
    std::snprintf(version, sizeof version, "%016llx",
                  static_cast<unsigned long long>(locator.version));
    return std::string(kLocatorPrefix) + std::to_string(locator.size) + ":" + version + ":" +
           locator.name;
}

std::optional<Locator> parse_locator(std::string_view text) {
    if (!text.starts_with(kLocatorPrefix)) return std::nullopt;
    text.remove_prefix(kLocatorPrefix.size());
    const std::optional<std::int64_t> size = number_until<std::int64_t>(text, ':', 10);
    const std::optional<std::uint64_t> version = number_until<std::uint64_t>(text, ':', 16);
    if (!size || *size < 0 || !version || text.empty()) return std::nullopt;
    return Locator{*size, *version, std::string(text)};
}

FileIdentity identity_of(const Locator& locator) {
    return FileIdentity{kRemoteDevice, locator.version, locator.size, 0};
}

std::optional<std::size_t> read_range(int channel, std::uint64_t offset, std::uint8_t* buffer,
                                      std::uint32_t size, std::string& reason) {
    const ReadRequest request{offset, size, kReadMagic};
    std::int64_t reply = 0;
    if (!send_all(channel, reinterpret_cast<const char*>(&request), sizeof request) ||
        !receive_all(channel, reinterpret_cast<char*>(&reply), sizeof reply)) {
        reason = "the process that fetches its bytes is gone";
        return std::nullopt;
    }
    if (reply >= 0) {
        if (static_cast<std::uint64_t>(reply) > size ||
            !receive_all(channel, reinterpret_cast<char*>(buffer),
                         static_cast<std::size_t>(reply))) {
            reason = "the process that fetches its bytes sent something else";
            return std::nullopt;
        }
        return static_cast<std::size_t>(reply);
    }
    const std::uint64_t length = static_cast<std::uint64_t>(-reply);
    if (length > 64 * 1024) {
        reason = "the process that fetches its bytes sent something else";
        return std::nullopt;
    }
    reason.assign(static_cast<std::size_t>(length), '\0');
    if (!receive_all(channel, reason.data(), reason.size())) {
        reason = "the process that fetches its bytes is gone";
    }
    return std::nullopt;
}

}  // namespace lorvex::remote_video
