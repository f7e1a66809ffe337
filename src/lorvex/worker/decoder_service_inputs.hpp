// The inputs the decoder service opens for the decoders it forks (prepared_input.hpp): only
// for a file that a decoder has opened without trouble before, so that a file that stalls or
// crashes a demuxer does so in a decoder of its own, never in the service.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include "lorvex/protocol/frame_table_file.hpp"
#include "lorvex/worker/prepared_input.hpp"

namespace lorvex {

class ServiceInputs {
  public:
    // The input opened here for `file`, which the service reaches at `location` and the
    // worker names `path`, opening it now if a decoder has opened that file without trouble
    // before; nullptr otherwise, or when it cannot be opened here (the decoder then finds the
    // same trouble, and reports it). Valid until the next call.
    PreparedInput* for_file(const std::string& location, const std::string& path,
                            const FileIdentity& file);

    // A decoder that had `file` opened for it ended well.
    void remember_opened_fine(const FileIdentity& file);

  private:
    // A reader's loads, and a few readers at once; each input holds a descriptor and the file's
    // sample tables.
    static constexpr std::size_t kKeptInputs = 4;
    static constexpr std::size_t kRememberedFiles = 64;

    std::deque<PreparedInput> inputs_;      // most recently used first
    std::deque<FileIdentity> opened_fine_;  // files a decoder opened, most recent first
};

}  // namespace lorvex
