// The frame tables this process has made, by file, so that a load right after a probe of the
// same file hands its workers the table without reading the file again.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "lorvex/protocol/frame_table_file.hpp"

namespace lorvex::container {

// A few recent files' tables, shared by every thread.
class FrameTableCache {
  public:
    void remember(const std::string& url, const IdentifiedTable& table);

    // The encoded table of `url`'s first video stream, if one was made from the file as it is.
    std::optional<std::string> find(const std::string& url, const FileIdentity& identity) const;

  private:
    struct Entry {
        std::string url;
        FileIdentity identity;
        std::string encoded;
    };

    mutable std::mutex lock_;
    std::deque<Entry> entries_;  // the newest first
};

}  // namespace lorvex::container
