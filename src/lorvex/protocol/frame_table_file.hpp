// The frame table as the loaders hand it to the worker programs: a memory file the workers
// inherit, tied to the one state of one video file it was made from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "lorvex/protocol/frame_table.hpp"
#include "lorvex/protocol/packed_fields.hpp"

namespace lorvex {

// Which file, in which state: a table is only used for the file it was made from, unchanged.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modified_ns = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The identity of the regular file at `path`, or nothing when it cannot be had (no such file,
// not a regular file, ...); for a remote video's locator, that of its object in its version
// (remote_video.hpp).
std::optional<FileIdentity> identify_file(const std::string& path);

// The same for `path` relative to the folder `folder` (a descriptor); with an empty `path`, of
// the file `folder` itself.
std::optional<FileIdentity> identify_file_at(int folder, const std::string& path);

struct IdentifiedTable {
    FileIdentity file;
    FrameTable table;
};

std::string encode_frame_table(const IdentifiedTable& table);

// A file's identity as a field of lorvex's own memory files (packed_fields.hpp).
void put_identity(FieldWriter& out, const FileIdentity& file);
FileIdentity take_identity(FieldReader& reader);

// Accepts exactly what encode_frame_table writes; throws std::invalid_argument otherwise.
IdentifiedTable decode_frame_table(std::string_view bytes);

// The table among this process's inherited descriptors (a load hands down one), if there is one,
// with the state of the file it was made from.
std::optional<IdentifiedTable> inherited_identified_table();

// That table, when it was made from `path` as it is now.
std::optional<FrameTable> inherited_frame_table(const std::string& path);

}  // namespace lorvex
