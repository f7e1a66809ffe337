// A video kept elsewhere (behind a URL, in an object store), read in ranges. The caller's
// process fetches its bytes; whoever opens it there or in a decoder reads them over a channel,
// a stream socket on which each read asks for a range and gets its bytes back. Its locator
// is the name every part of lorvex opens it by, and says which object in which version it is,
// so that a probe is kept for it as for a file in one state.
//
// Nothing here needs FFmpeg or Python: the Python layer serves the channels, the media layer
// reads them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "lorvex/protocol/frame_table_file.hpp"

namespace lorvex::remote_video {

// "lorvex-remote:<size>:<version, 16 hex digits>:<name>"; the name (its URL) ends it, so that
// its extension guides the choice of demuxer as a file's does.
inline constexpr std::string_view kLocatorPrefix = "lorvex-remote:";

struct Locator {
    std::int64_t size = 0;
    std::uint64_t version = 0;  // a hash of the object's own version (its ETag, say)
    std::string name;
};

std::string format_locator(const Locator& locator);
// Nothing for anything that is not a locator.
std::optional<Locator> parse_locator(std::string_view text);

// The identity of the object a locator names, in the terms of a file's (no device a file has).
FileIdentity identity_of(const Locator& locator);

// ---- a channel ----------------------------------------------------------------------------

// A read: the bytes from `offset`, at most `size` of them. The reply: how many bytes follow
// (0 past the end), or, negative, the length of the reason why none could be had.
struct ReadRequest {
    std::uint64_t offset;
    std::uint32_t size;
    std::uint32_t magic;
};
inline constexpr std::uint32_t kReadMagic = 0x4c565252;  // "LVRR"
inline constexpr std::uint32_t kLongestRead = 16u << 20;

// Reads up to `size` bytes from `offset` into `buffer` over `channel`: how many (0 past the
// end), or nothing, with `reason` said, when the bytes could not be had or the channel failed.
std::optional<std::size_t> read_range(int channel, std::uint64_t offset, std::uint8_t* buffer,
                                      std::uint32_t size, std::string& reason);

}  // namespace lorvex::remote_video
