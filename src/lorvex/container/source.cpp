#include "lorvex/container/source.hpp"

#include <utility>

#include "lorvex/container/table_cache.hpp"

namespace lorvex::container {

Source::Source(std::string url, std::string path)
    : url_(std::move(url)),
      path_(std::move(path)),
      identity_(identify_file(url_)),
      opened_(std::make_unique<MediaFile>(url_, path_)),
      format_name_(opened_->format_name()),
      streams_(opened_->streams()) {}

const PacketPass& Source::packet_pass() {
    std::call_once(pass_made_, [this] {
        const std::size_t count = streams_.size();
        pass_.packet_counts.assign(count, 0);
        std::vector<std::optional<FrameTableBuilder>> builders(count);
        for (const StreamInfo& info : streams_) {
            if (info.type == AVMEDIA_TYPE_VIDEO) builders[info.index].emplace(info.codec_id);
        }
        const std::unique_ptr<MediaFile> file = std::move(opened_);
        UniquePacket packet = make_packet();
        try {
            while (file->read(packet.get())) {
                // Demuxers that find streams as they go can add one after opening; it was
                // not listed then, so its packets are not offered.
                const auto index = static_cast<std::size_t>(packet->stream_index);
                if (index >= count) continue;
                ++pass_.packet_counts[index];
                if (builders[index]) builders[index]->add(*packet);
                pass_.packets.push_back({packet->stream_index, presentation_time(*packet),
                                         packet->dts, packet->size,
                                         (packet->flags & AV_PKT_FLAG_KEY) != 0});
            }
        } catch (const AvError&) {
            pass_.failure = std::current_exception();
        }
        pass_.tables.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            if (builders[i]) pass_.tables[i] = builders[i]->finish();
        }
        const int first_video = first_video_stream(*file->context());
        if (!pass_.failure && identity_ && first_video >= 0) {
            remember_frame_table(url_, {*identity_, *pass_.tables[first_video]});
        }
    });
    return pass_;
}

}  // namespace lorvex::container
