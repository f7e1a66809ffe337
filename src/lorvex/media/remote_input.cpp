#include "lorvex/media/remote_input.hpp"

#include <algorithm>
#include <map>
#include <mutex>
#include <stdexcept>

namespace lorvex {
namespace {

// One channel carries one read at a time: the readers of a process share it, a read after
// another.
struct Channel {
    Descriptor descriptor;
    std::mutex busy;
};

struct Registry {
    std::mutex lock;
    std::map<std::string, std::shared_ptr<Channel>> channels;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

class RemoteReader : public ByteReader {
  public:
    RemoteReader(std::shared_ptr<Channel> channel, std::int64_t size)
        : channel_(std::move(channel)), size_(size) {}

    int read(std::uint8_t* buffer, int size) override {
        if (position_ >= size_) return AVERROR_EOF;
        const auto wanted = static_cast<std::uint32_t>(
            std::min<std::int64_t>({size, size_ - position_, remote_video::kLongestRead}));
        std::string reason;
        std::optional<std::size_t> got;
        {
            const std::lock_guard<std::mutex> hold(channel_->busy);
            got = remote_video::read_range(channel_->descriptor.get(),
                                           static_cast<std::uint64_t>(position_), buffer, wanted,
                                           reason);
        }
        if (!got) return AVERROR(EIO);
        if (*got == 0) return AVERROR_EOF;
        position_ += static_cast<std::int64_t>(*got);
        return static_cast<int>(*got);
    }

    std::int64_t seek(std::int64_t offset, int whence) override {
        return seek_position(position_, offset, whence, [this] { return size_; });
    }

  private:
    std::shared_ptr<Channel> channel_;
    std::int64_t size_;
    std::int64_t position_ = 0;
};

}  // namespace

void register_remote_channel(const std::string& locator, Descriptor channel) {
    auto entry = std::make_shared<Channel>();
    entry->descriptor = std::move(channel);
    Registry& known = registry();
    const std::lock_guard<std::mutex> hold(known.lock);
    known.channels[locator] = std::move(entry);
}

void forget_remote_channel(const std::string& locator) {
    Registry& known = registry();
    const std::lock_guard<std::mutex> hold(known.lock);
    known.channels.erase(locator);
}

std::unique_ptr<ByteReader> remote_reader(const remote_video::Locator& locator,
                                          const std::string& text) {
    std::shared_ptr<Channel> channel;
    {
        Registry& known = registry();
        const std::lock_guard<std::mutex> hold(known.lock);
        const auto found = known.channels.find(text);
        if (found != known.channels.end()) channel = found->second;
    }
    if (!channel) {
        throw std::runtime_error("Could not open " + locator.name +
                                 ": nothing fetches its bytes in this process any more");
    }
    return std::make_unique<RemoteReader>(std::move(channel), locator.size);
}

}  // namespace lorvex
