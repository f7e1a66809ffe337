// What a container's Python objects share: the file as first opened, and the one pass over
// its packets that everything else is answered from (packets, counts, frame tables).
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "lorvex/container/media_file.hpp"
#include "lorvex/core/frame_table.hpp"
#include "lorvex/core/frame_table_file.hpp"

namespace lorvex::container {

// What the Python side sees of a packet.
struct LoggedPacket {
    int stream = 0;
    std::int64_t pts = AV_NOPTS_VALUE;  // presentation_time()
    std::int64_t dts = AV_NOPTS_VALUE;
    int size = 0;
    bool keyframe = false;
};

struct PacketPass {
    std::vector<LoggedPacket> packets;              // every listed stream's, in file order
    std::vector<std::int64_t> packet_counts;        // by stream index
    std::vector<std::optional<FrameTable>> tables;  // by stream index, video streams only
    std::exception_ptr failure;  // why reading stopped before the end of the file, if it did
};

class Source {
  public:
    // Opens the file (see MediaFile).
    Source(std::string url, std::string path);

    const std::string& url() const noexcept { return url_; }
    const std::string& path() const noexcept { return path_; }
    const std::string& format_name() const noexcept { return format_name_; }
    const std::vector<StreamInfo>& streams() const noexcept { return streams_; }

    // The pass over every packet, made on first use (it takes the file as first opened, whose
    // opening already read some packets ahead) and shared by every thread. Blocks; call it
    // without the GIL.
    const PacketPass& packet_pass();

  private:
    std::string url_;
    std::string path_;
    std::optional<FileIdentity> identity_;  // the file as it was when opened
    std::unique_ptr<MediaFile> opened_;
    std::string format_name_;
    std::vector<StreamInfo> streams_;
    std::once_flag pass_made_;
    PacketPass pass_;
};

}  // namespace lorvex::container
