// What a container's Python objects share: the file as first opened, until a pass over its
// packets takes it, and the packet counts once something needed them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lorvex/container/media_file.hpp"

namespace lorvex::container {

class Source {
  public:
    // Opens the file (see MediaFile).
    Source(std::string url, std::string path);

    const std::string& url() const noexcept { return url_; }
    const std::string& path() const noexcept { return path_; }
    const std::string& format_name() const noexcept { return format_name_; }
    const std::vector<StreamInfo>& streams() const noexcept { return streams_; }

    // The file as opened, for the first pass over the packets (opening reads some of them
    // ahead and keeps them, so that pass needs no second opening); null once taken.
    std::unique_ptr<MediaFile> take_opened() noexcept { return std::move(opened_); }

    // A new opening of the same file, positioned at its first packet. Touches no shared state.
    std::unique_ptr<MediaFile> reopen() const { return std::make_unique<MediaFile>(url_, path_); }

    // How many packets each stream has, once counted (index as in streams()).
    std::optional<std::vector<std::int64_t>> packet_counts;

  private:
    std::string url_;
    std::string path_;
    std::unique_ptr<MediaFile> opened_;
    std::string format_name_;
    std::vector<StreamInfo> streams_;
};

}  // namespace lorvex::container
