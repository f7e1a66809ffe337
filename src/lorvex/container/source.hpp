// What a container's Python objects share: the file as first opened, the facts the probe
// needs (frame tables, the video packets' timestamps and keyframes), made from an MP4/MOV
// file's index where it tells them exactly, else from one pass over the packets.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "lorvex/container/media_file.hpp"
#include "lorvex/container/picture_format.hpp"
#include "lorvex/container/table_cache.hpp"
#include "lorvex/media/frame_table_builder.hpp"
#include "lorvex/protocol/frame_table_file.hpp"

namespace lorvex::container {

// What the Python side sees of a packet.
struct LoggedPacket {
    int stream = 0;
    // presentation_time(); for a stream without timestamps, its picture's in the frame table
    std::int64_t pts = AV_NOPTS_VALUE;
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

// The packets of every video stream that carry a timestamp (pts, else dts), in file order:
// what get_stats reads of them.
struct VideoPackets {
    std::vector<std::int64_t> keyframes;  // the timestamps of the keyframes, in packet order
    std::int64_t lowest = 0;              // the smallest and largest timestamp, when counted
    std::int64_t highest = 0;
    bool counted = false;  // whether any packet carries a timestamp

    void add(std::int64_t timestamp, bool keyframe);
};

struct ProbeFacts {
    std::vector<std::optional<FrameTable>> tables;  // by stream index, video streams only
    VideoPackets video_packets;
    std::exception_ptr failure;  // the packet pass's, when it could not read to the end
    // Why the index did not serve (empty when it did).
    std::string index_declined;
};

struct SourceState;

class Source {
  public:
    // Opens the file `url` (see MediaFile), which messages call `path`. `identity` is the
    // file's as it was found just before. The tables the probe makes go into `tables` too.
    Source(std::string url, std::string path, std::optional<FileIdentity> identity,
           std::shared_ptr<FrameTableCache> tables);
    // The probe another process made of the file (see source_state.hpp), which messages call
    // `path`: nothing is opened until the packets themselves are asked for.
    Source(SourceState state, std::string path, std::shared_ptr<FrameTableCache> tables);
    ~Source();

    const std::string& url() const noexcept { return url_; }
    const std::string& path() const noexcept { return path_; }
    const std::string& format_name() const noexcept { return format_name_; }
    const std::vector<StreamInfo>& streams() const noexcept { return streams_; }
    const std::optional<FileIdentity>& identity() const noexcept { return identity_; }
    // The first video stream's picture format; nothing without a video stream.
    const std::optional<PictureFormat>& picture_format() const noexcept { return picture_; }

    // The probe's facts, made on first use and shared by every thread: from the index of an
    // MP4/MOV file with one video stream where it tells the packets exactly, else from
    // packet_pass(). Blocks; call it without the GIL.
    const ProbeFacts& facts();

    // The pass over every packet, made on first use and shared by every thread. Blocks; call
    // it without the GIL.
    const PacketPass& packet_pass();

    // Closes the file as first opened, if it is still open: a Source this process keeps for
    // the next open of the file holds no descriptor while no container of it is in use.
    void release_file() noexcept;

    // The probe for another process, once facts() is made and complete; nothing before, for a
    // file that failed to read, or one that is not a regular file.
    std::optional<SourceState> state() const;

    // About how many bytes the Source holds.
    std::size_t footprint() const;

  private:
    // The opened file, or the file opened again (after the index spared the pass, or in a
    // forked process, whose copy of the file's position the parent shares).
    std::unique_ptr<MediaFile> take_file();
    // The table of video stream `stream` from its packets in the pass, with, where it is
    // `decodable` (the first video stream of a file that can be read again), a decode of the
    // packets they cannot tell about. The packets of a stream without timestamps are given
    // those of their pictures.
    FrameTable finish_pass_table(const FrameTableBuilder& builder, int stream, bool decodable);
    // Keeps the probe beyond this process (probe_cache.hpp) when making it took long.
    void keep_if_worth_it(std::chrono::steady_clock::time_point facts_started);

    std::chrono::steady_clock::time_point started_;
    std::shared_ptr<FrameTableCache> tables_;
    std::string url_;
    std::string path_;
    std::optional<FileIdentity> identity_;  // the file as it was when opened
    std::mutex file_lock_;
    std::unique_ptr<MediaFile> opened_;
    pid_t opened_in_;
    std::string format_name_;
    std::vector<StreamInfo> streams_;
    std::optional<PictureFormat> picture_;
    std::chrono::steady_clock::duration opening_{};  // how long opening the file took
    std::once_flag facts_made_;
    std::atomic<bool> facts_ready_{false};
    ProbeFacts facts_;
    std::once_flag pass_made_;
    PacketPass pass_;
};

// The Sources this process keeps: the one already opened for an unchanged file (device,
// inode, size, modification time) serves every later open of it, while they hold less than a
// bounded memory in all. Shared by every thread.
class KnownSources {
  public:
    KnownSources();

    // The Source of `url` as it is now: the one kept for the unchanged file, else a new one,
    // kept for the next, whose messages call the file `name`.
    std::shared_ptr<Source> open(const std::string& url, const std::string& name);

    // The Source kept for `url` as it is now, without opening anything.
    std::shared_ptr<Source> find(const std::string& url) const;

    // Keeps the probe another process made, when the file is still as it was then (and no
    // Source of it is kept already). Whether it is kept now.
    bool adopt(SourceState state);

    // The frame tables the Sources made.
    FrameTableCache& tables() const noexcept { return *tables_; }

  private:
    struct Known {
        std::string url;
        FileIdentity identity;
        std::shared_ptr<Source> source;
    };

    // Keeps `source` first; drops the oldest beyond the bounds. Called with lock_ held.
    void keep(const std::string& url, const FileIdentity& identity, std::shared_ptr<Source> source);

    std::shared_ptr<FrameTableCache> tables_;  // outlives a Source that outlives the module
    mutable std::mutex lock_;
    std::deque<Known> known_;  // the newest first
};

}  // namespace lorvex::container
