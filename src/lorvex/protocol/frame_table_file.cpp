#include "lorvex/protocol/frame_table_file.hpp"

#include <dirent.h>
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

namespace lorvex {
namespace {

constexpr std::string_view kMagic = "LVXTABL1";
constexpr std::uint32_t kDtsOnly = 1;
constexpr std::size_t kHeaderSize = 8 + 4 * 8 + 2 * 4 + 2 * 8;
constexpr std::size_t kPictureSize = 2 * 8;
constexpr std::size_t kKeyframeSize = 3 * 8;

void put(std::string& out, std::uint64_t value, int bytes = 8) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

class Reader {
  public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    std::uint64_t take(int bytes = 8) {
        if (bytes_.size() - position_ < static_cast<std::size_t>(bytes)) refuse("truncated");
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes_[position_++]))
                     << (8 * i);
        }
        return value;
    }
    std::int64_t take_signed() { return static_cast<std::int64_t>(take()); }
    std::size_t left() const { return bytes_.size() - position_; }
    [[noreturn]] static void refuse(const char* reason) {
        throw std::invalid_argument(std::string("bad frame table: ") + reason);
    }

  private:
    std::string_view bytes_;
    std::size_t position_ = 0;
};

struct DescriptorCloser {
    void operator()(DIR* directory) const noexcept { closedir(directory); }
};

}  // namespace

std::optional<FileIdentity> identify_file(const std::string& path) {
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

std::string encode_frame_table(const IdentifiedTable& identified) {
    const FrameTable& table = identified.table;
    std::string out(kMagic);
    put(out, identified.file.device);
    put(out, identified.file.inode);
    put(out, static_cast<std::uint64_t>(identified.file.size));
    put(out, static_cast<std::uint64_t>(identified.file.modified_ns));
    put(out, table.dts_only ? kDtsOnly : 0, 4);
    put(out, 0, 4);
    put(out, table.timestamps.size());
    put(out, table.keyframes.size());
    for (std::size_t i = 0; i < table.timestamps.size(); ++i) {
        put(out, static_cast<std::uint64_t>(table.timestamps[i]));
        put(out, static_cast<std::uint64_t>(table.stamps[i]));
    }
    for (const TableKeyframe& keyframe : table.keyframes) {
        put(out, static_cast<std::uint64_t>(keyframe.stamp));
        put(out, static_cast<std::uint64_t>(keyframe.dts));
        put(out, static_cast<std::uint64_t>(keyframe.first_rank));
    }
    return out;
}

IdentifiedTable decode_frame_table(std::string_view bytes) {
    if (bytes.size() < kHeaderSize || bytes.substr(0, kMagic.size()) != kMagic) {
        Reader::refuse("not a frame table");
    }
    Reader reader(bytes.substr(kMagic.size()));
    IdentifiedTable identified;
    identified.file.device = reader.take();
    identified.file.inode = reader.take();
    identified.file.size = reader.take_signed();
    identified.file.modified_ns = reader.take_signed();
    const std::uint64_t flags = reader.take(4);
    if ((flags & ~std::uint64_t{kDtsOnly}) != 0 || reader.take(4) != 0) {
        Reader::refuse("unknown flags");
    }
    const std::uint64_t pictures = reader.take();
    const std::uint64_t keyframes = reader.take();
    if (pictures > reader.left() / kPictureSize || keyframes > reader.left() / kKeyframeSize ||
        pictures * kPictureSize + keyframes * kKeyframeSize != reader.left()) {
        Reader::refuse("wrong length");
    }
    FrameTable& table = identified.table;
    table.dts_only = (flags & kDtsOnly) != 0;
    table.timestamps.reserve(pictures);
    table.stamps.reserve(pictures);
    for (std::uint64_t i = 0; i < pictures; ++i) {
        const std::int64_t timestamp = reader.take_signed();
        if (!table.timestamps.empty() && timestamp < table.timestamps.back()) {
            Reader::refuse("timestamps out of order");
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
            Reader::refuse("keyframe ranks out of order");
        }
        table.keyframes.push_back(keyframe);
    }
    return identified;
}

std::optional<FrameTable> inherited_frame_table(const std::string& path) {
    const std::unique_ptr<DIR, DescriptorCloser> directory(opendir("/proc/self/fd"));
    if (!directory) return std::nullopt;
    const std::string wanted = "/memfd:" + std::string(names::kFrameTableFileName);
    while (const dirent* entry = readdir(directory.get())) {
        int descriptor = -1;
        const char* name = entry->d_name;
        const auto [end, error] = std::from_chars(name, name + std::strlen(name), descriptor);
        if (error != std::errc() || *end != '\0' || descriptor <= 2 ||
            descriptor == dirfd(directory.get())) {
            continue;
        }
        char target[256] = {};
        const std::string link = "/proc/self/fd/" + std::string(name);
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        if (length <= 0 ||
            std::string_view(target, static_cast<std::size_t>(length)).substr(0, wanted.size()) !=
                wanted) {
            continue;
        }
        IdentifiedTable identified;
        try {
            identified = decode_frame_table(read_inherited_file(descriptor));
        } catch (const std::runtime_error&) {
            continue;  // not a table this worker can use: it makes its own
        } catch (const std::invalid_argument&) {
            continue;
        }
        if (identify_file(path) == std::optional<FileIdentity>(identified.file)) {
            return std::move(identified.table);
        }
    }
    return std::nullopt;
}

}  // namespace lorvex
