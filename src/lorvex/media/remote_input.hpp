// A remote video's bytes as this process reads them (protocol/remote_video.hpp): through the
// channel registered for its locator, a channel of this process's own (the caller's for its
// probe, a decoder's for the decoder).
#pragma once

#include <memory>
#include <string>

#include "lorvex/media/byte_input.hpp"
#include "lorvex/protocol/descriptor.hpp"
#include "lorvex/protocol/remote_video.hpp"

namespace lorvex {

// From now on, `locator` is read through `channel` (replacing any channel it had).
void register_remote_channel(const std::string& locator, Descriptor channel);

// The channel of `locator` is closed once no reader uses it.
void forget_remote_channel(const std::string& locator);

// A reader of the remote video `locator` names, at its first byte. Throws std::runtime_error
// when this process has no channel for it.
std::unique_ptr<ByteReader> remote_reader(const remote_video::Locator& locator,
                                          const std::string& text);

}  // namespace lorvex
