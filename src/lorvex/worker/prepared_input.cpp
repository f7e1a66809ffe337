#include "lorvex/worker/prepared_input.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>

#include "lorvex/media/byte_input.hpp"
#include "lorvex/media/video_input.hpp"

namespace lorvex {

// Reads a file as FFmpeg's own file protocol does (the same answers at the end, for the size,
// past the end), but at a position of its own.
class PositionedFileReader : public ByteReader {
  public:
    explicit PositionedFileReader(int descriptor) noexcept : descriptor_(descriptor) {}
    PositionedFileReader(const PositionedFileReader&) = delete;
    PositionedFileReader& operator=(const PositionedFileReader&) = delete;
    ~PositionedFileReader() override {
        if (descriptor_ >= 0) close(descriptor_);
    }

    int read(std::uint8_t* buffer, int size) override {
        ssize_t got;
        do {
            got = pread(descriptor_, buffer, static_cast<std::size_t>(size), position_);
        } while (got < 0 && errno == EINTR);
        if (got < 0) return AVERROR(errno);
        if (got == 0) return AVERROR_EOF;
        position_ += got;
        return static_cast<int>(got);
    }

    std::int64_t seek(std::int64_t offset, int whence) override {
        return seek_position(position_, offset, whence, [this]() -> std::int64_t {
            struct stat status {};
            if (fstat(descriptor_, &status) != 0) return AVERROR(errno);
            return status.st_size;
        });
    }

    int descriptor() const noexcept { return descriptor_; }
    void renumber(int descriptor) noexcept { descriptor_ = descriptor; }

  private:
    int descriptor_;
    std::int64_t position_ = 0;
};

namespace {

// The input offered to this process's decoder (a forked decoder has one job, hence one).
std::optional<PreparedInput>& offered() {
    static std::optional<PreparedInput> input;
    return input;
}

}  // namespace

int PreparedInput::descriptor() const noexcept {
    return reader->descriptor();
}

void PreparedInput::renumber(int descriptor) noexcept {
    reader->renumber(descriptor);
}

std::optional<PreparedInput> prepare_input(const std::string& location, const std::string& path) {
    const int descriptor = open(location.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return std::nullopt;
    auto reader = std::make_unique<PositionedFileReader>(descriptor);
    const std::optional<FileIdentity> file = identify_file_at(descriptor, "");
    if (!file) return std::nullopt;
    PositionedFileReader* kept = reader.get();
    UniqueFormatContext format =
        open_video_input(std::move(reader), path, StreamInfo::header_when_complete);
    return PreparedInput{*file, std::move(format), kept};
}

void offer_input(PreparedInput input) {
    offered() = std::move(input);
}

std::optional<UniqueFormatContext> take_offered_input(const std::string& path) {
    std::optional<PreparedInput>& input = offered();
    if (!input) return std::nullopt;
    std::optional<UniqueFormatContext> taken;
    if (identify_file(path) == std::optional<FileIdentity>(input->file)) {
        taken = std::move(input->format);
    }
    input.reset();
    return taken;
}

}  // namespace lorvex
