#include "lorvex/protocol/frame_table_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include "lorvex/protocol/inherited_text.hpp"
#include "lorvex/protocol/names.hpp"
#include "lorvex/protocol/packed_fields.hpp"
#include "lorvex/protocol/remote_video.hpp"

namespace lorvex {
namespace {

constexpr std::string_view kMagic = "LVXTABL1";
constexpr std::uint32_t kDtsOnly = 1;
constexpr std::uint32_t kByPosition = 2;
constexpr std::size_t kHeaderSize = 8 + 4 * 8 + 2 * 4 + 2 * 8;
constexpr std::size_t kPictureSize = 2 * 8;
constexpr std::size_t kKeyframeSize = 3 * 8;

}  // namespace

std::optional<FileIdentity> identify_file(const std::string& path) {
    if (const std::optional<remote_video::Locator> remote = remote_video::parse_locator(path)) {
        return remote_video::identity_of(*remote);
    }
    return identify_file_at(AT_FDCWD, path);
}

std::optional<FileIdentity> identify_file_at(int folder, const std::string& path) {
    struct stat status {};
    if (fstatat(folder, path.c_str(), &status, path.empty() ? AT_EMPTY_PATH : 0) != 0 ||
        !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return FileIdentity{
        static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
        static_cast<std::int64_t>(status.st_size),
        static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec};
}

void put_identity(FieldWriter& out, const FileIdentity& file) {
    out.put(file.device);
    out.put(file.inode);
    out.put_signed(file.size);
    out.put_signed(file.modified_ns);
}

FileIdentity take_identity(FieldReader& reader) {
    FileIdentity file;
    file.device = reader.take();
    file.inode = reader.take();
    file.size = reader.take_signed();
    file.modified_ns = reader.take_signed();
    return file;
}

std::string encode_frame_table(const IdentifiedTable& identified) {
    const FrameTable& table = identified.table;
    FieldWriter out(kMagic);
    put_identity(out, identified.file);
    out.put((table.dts_only ? kDtsOnly : 0) | (table.by_position ? kByPosition : 0), 4);
    out.put(0, 4);
    out.put(table.timestamps.size());
    out.put(table.keyframes.size());
    for (std::size_t i = 0; i < table.timestamps.size(); ++i) {
        out.put_signed(table.timestamps[i]);
        out.put_signed(table.stamps[i]);
    }
    for (const TableKeyframe& keyframe : table.keyframes) {
        out.put_signed(keyframe.stamp);
        out.put_signed(keyframe.dts);
        out.put_signed(keyframe.first_rank);
    }
    return out.take();
}

IdentifiedTable decode_frame_table(std::string_view bytes) {
    FieldReader reader(bytes, kMagic, "frame table");
    if (bytes.size() < kHeaderSize) reader.refuse("not a frame table");
    IdentifiedTable identified;
    identified.file = take_identity(reader);
    const std::uint64_t flags = reader.take(4);
    if ((flags & ~std::uint64_t{kDtsOnly | kByPosition}) != 0 || reader.take(4) != 0) {
        reader.refuse("unknown flags");
    }
    if (flags == (kDtsOnly | kByPosition))
        reader.refuse("a stream both without pts and without timestamps");
    const std::uint64_t pictures = reader.take();
    const std::uint64_t keyframes = reader.take();
    if (pictures > reader.left() / kPictureSize || keyframes > reader.left() / kKeyframeSize ||
        pictures * kPictureSize + keyframes * kKeyframeSize != reader.left()) {
        reader.refuse("wrong length");
    }
    FrameTable& table = identified.table;
    table.dts_only = (flags & kDtsOnly) != 0;
    table.by_position = (flags & kByPosition) != 0;
    table.timestamps.reserve(pictures);
    table.stamps.reserve(pictures);
    for (std::uint64_t i = 0; i < pictures; ++i) {
        const std::int64_t timestamp = reader.take_signed();
        if (!table.timestamps.empty() && timestamp < table.timestamps.back()) {
            reader.refuse("timestamps out of order");
        }
        table.timestamps.push_back(timestamp);
        table.stamps.push_back(reader.take_signed());
    }
    table.keyframes.reserve(keyframes);
    for (std::uint64_t i = 0; i < keyframes; ++i) {
        TableKeyframe keyframe;
        keyframe.stamp = reader.take_signed();
        keyframe.dts = reader.take_signed();
        keyframe.first_rank = reader.take_signed();
        const std::int64_t floor = table.keyframes.empty() ? 0 : table.keyframes.back().first_rank;
        if (keyframe.first_rank < floor || keyframe.first_rank > table.size()) {
            reader.refuse("keyframe ranks out of order");
        }
        table.keyframes.push_back(keyframe);
    }
    return identified;
}

std::optional<IdentifiedTable> inherited_identified_table() {
    for (const int descriptor : inherited_memory_files(names::kFrameTableFileName)) {
        try {
            return decode_frame_table(read_inherited_file(descriptor));
        } catch (const std::runtime_error&) {
            continue;  // not a table this worker can use: it makes its own
        } catch (const std::invalid_argument&) {
            continue;
        }
    }
    return std::nullopt;
}

std::optional<FrameTable> inherited_frame_table(const std::string& path) {
    std::optional<IdentifiedTable> identified = inherited_identified_table();
    if (!identified || identify_file(path) != std::optional<FileIdentity>(identified->file)) {
        return std::nullopt;
    }
    return std::move(identified->table);
}

}  // namespace lorvex
