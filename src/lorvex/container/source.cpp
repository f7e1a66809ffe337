#include "lorvex/container/source.hpp"

#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "lorvex/container/probe_cache.hpp"
#include "lorvex/container/source_state.hpp"
#include "lorvex/media/decoded_pictures.hpp"
#include "lorvex/media/mp4_index.hpp"

namespace lorvex::container {
namespace {

// Recent files: what a reader, its metadata, its loads and a dataset's counts ask of one
// file, and what a dataset's workers inherit of the owning process's counting, bounded for
// jobs that visit many files. A 10-second clip's probe takes a few kilobytes, a 30-minute
// video's about 2 MiB.
constexpr std::size_t kRememberedBytes = std::size_t{128} << 20;
constexpr std::size_t kRememberedSources = 4096;

std::optional<PictureFormat> picture_of(const MediaFile& file) {
    try {
        return read_picture_format(file);
    } catch (const std::invalid_argument&) {
        return std::nullopt;  // no video stream
    }
}

}  // namespace

void VideoPackets::add(std::int64_t timestamp, bool keyframe) {
    if (timestamp == AV_NOPTS_VALUE) return;
    lowest = counted ? std::min(lowest, timestamp) : timestamp;
    highest = counted ? std::max(highest, timestamp) : timestamp;
    counted = true;
    if (keyframe) keyframes.push_back(timestamp);
}

Source::Source(SourceState state, std::string path, std::shared_ptr<FrameTableCache> tables)
    : tables_(std::move(tables)),
      url_(state.url),
      path_(std::move(path)),
      identity_(state.identity),
      opened_in_(getpid()),
      format_name_(std::move(state.format_name)),
      streams_(std::move(state.streams)),
      picture_(std::move(state.picture)) {
    std::call_once(facts_made_, [&] { facts_ = std::move(state.facts); });
    facts_ready_ = true;
}

Source::~Source() = default;

std::optional<SourceState> Source::state() const {
    if (!facts_ready_ || facts_.failure || !identity_) return std::nullopt;
    return SourceState{url_, *identity_, format_name_, streams_, picture_, facts_};
}

std::size_t Source::footprint() const {
    std::size_t bytes = sizeof(Source) + streams_.size() * sizeof(StreamInfo);
    const auto tables_size = [](const std::vector<std::optional<FrameTable>>& tables) {
        std::size_t size = 0;
        for (const auto& table : tables) {
            if (table) {
                size += table->timestamps.size() * 2 * sizeof(std::int64_t) +
                        table->keyframes.size() * sizeof(TableKeyframe);
            }
        }
        return size;
    };
    if (facts_ready_) {
        bytes += tables_size(facts_.tables) +
                 facts_.video_packets.keyframes.size() * sizeof(std::int64_t);
    }
    // The pass, when one was made, is read under its once flag; a pass under way is not
    // counted yet.
    return bytes;
}

Source::Source(std::string url, std::string path, std::optional<FileIdentity> identity,
               std::shared_ptr<FrameTableCache> tables)
    : started_(std::chrono::steady_clock::now()),
      tables_(std::move(tables)),
      url_(std::move(url)),
      path_(std::move(path)),
      identity_(identity),
      opened_(std::make_unique<MediaFile>(url_, path_)),
      opened_in_(getpid()),
      format_name_(opened_->format_name()),
      streams_(opened_->streams()),
      picture_(picture_of(*opened_)),
      opening_(std::chrono::steady_clock::now() - started_) {}

void Source::release_file() noexcept {
    // Only a file that can be opened again (not a pipe) is let go: such a Source is kept for
    // the next open, the others end with their last user.
    if (!identity_) return;
    std::unique_ptr<MediaFile> released;
    const std::lock_guard lock(file_lock_);
    released = std::move(opened_);
}

std::unique_ptr<MediaFile> Source::take_file() {
    {
        const std::lock_guard lock(file_lock_);
        if (opened_ && opened_in_ == getpid()) return std::move(opened_);
    }
    return std::make_unique<MediaFile>(url_, path_);
}

void Source::keep_if_worth_it(std::chrono::steady_clock::time_point facts_started) {
    const auto took = opening_ + (std::chrono::steady_clock::now() - facts_started);
    if (took < probe_worth_keeping()) return;
    if (const std::optional<SourceState> made = state()) keep_probe(*made);
}

const ProbeFacts& Source::facts() {
    std::call_once(facts_made_, [this] {
        const auto facts_started = std::chrono::steady_clock::now();
        const auto videos = std::count_if(streams_.begin(), streams_.end(), [](const auto& info) {
            return info.type == AVMEDIA_TYPE_VIDEO;
        });
        int first_video = -1;
        for (const StreamInfo& info : streams_) {
            if (info.type == AVMEDIA_TYPE_VIDEO) {
                first_video = info.index;
                break;
            }
        }
        // The index is read from a file that can be read again (not a pipe).
        if (videos == 1 && identity_) {
            std::unique_ptr<MediaFile> file = take_file();
            if (header_is_complete(*file->context())) {
                // The index's packets give the record as they give the table.
                try {
                    const MappedFile mapped(url_);
                    const std::vector<PacketFacts> packets =
                        indexed_packets(*file->context(), first_video, mapped);
                    FrameTableBuilder builder(streams_[first_video].codec_id);
                    for (const PacketFacts& packet : packets) {
                        builder.add(packet);
                        facts_.video_packets.add(packet.pts, packet.keyframe);
                    }
                    if (builder.packets_to_decode() > 0) {
                        throw IndexDeclined("a start that only a decode can tell");
                    }
                    facts_.tables.resize(streams_.size());
                    facts_.tables[static_cast<std::size_t>(first_video)] = builder.finish();
                } catch (const IndexDeclined& declined) {
                    facts_.index_declined = declined.what();
                } catch (const std::runtime_error& unmapped) {
                    facts_.index_declined = unmapped.what();
                }
            } else {
                facts_.index_declined = "not an MP4/MOV file read from its header";
            }
            if (facts_.index_declined.empty()) {
                tables_->remember(url_, {*identity_, *facts_.tables[first_video]});
                facts_ready_ = true;
                keep_if_worth_it(facts_started);
                return;  // the file is closed: a pass, if one is asked for, opens it again
            }
            facts_.video_packets = {};
            facts_.tables.clear();
            // Handed back for the pass, which reads the file as first opened.
            const std::lock_guard lock(file_lock_);
            if (!opened_) {
                opened_ = std::move(file);
                opened_in_ = getpid();
            }
        } else if (videos == 1) {
            facts_.index_declined = "not a regular file";
        } else {
            facts_.index_declined = videos == 0 ? "no video stream" : "several video streams";
        }
        const PacketPass& pass = packet_pass();
        facts_.tables = pass.tables;
        facts_.failure = pass.failure;
        for (const LoggedPacket& packet : pass.packets) {
            if (streams_[static_cast<std::size_t>(packet.stream)].type != AVMEDIA_TYPE_VIDEO) {
                continue;
            }
            facts_.video_packets.add(packet.pts, packet.keyframe);
        }
        release_file();  // opened again for the index when the pass had already read it
        facts_ready_ = true;
        keep_if_worth_it(facts_started);
    });
    return facts_;
}

const PacketPass& Source::packet_pass() {
    std::call_once(pass_made_, [this] {
        const std::size_t count = streams_.size();
        pass_.packet_counts.assign(count, 0);
        const std::unique_ptr<MediaFile> file = take_file();
        std::vector<std::optional<FrameTableBuilder>> builders(count);
        for (const StreamInfo& info : streams_) {
            if (info.type == AVMEDIA_TYPE_VIDEO) {
                builders[info.index].emplace(*file->context()->streams[info.index], path_);
            }
        }
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
        const int first_video = first_video_stream(*file->context());
        for (std::size_t i = 0; i < count; ++i) {
            if (!builders[i]) continue;
            // The decoder decodes the first video stream, of a file that can be read again.
            const bool decodable =
                static_cast<int>(i) == first_video && identity_ && !pass_.failure;
            try {
                pass_.tables[i] = finish_pass_table(*builders[i], static_cast<int>(i), decodable);
            } catch (const AvError&) {
                pass_.failure = std::current_exception();
                pass_.tables[i] = builders[i]->finish();
            }
        }
        if (!pass_.failure && identity_ && first_video >= 0) {
            tables_->remember(url_, {*identity_, *pass_.tables[first_video]});
        }
    });
    return pass_;
}

FrameTable Source::finish_pass_table(const FrameTableBuilder& builder, int stream, bool decodable) {
    const std::size_t undecided = builder.packets_to_decode();
    if (undecided == 0 || !decodable) return builder.finish();
    const DecodedPictures decoded = decode_first_packets(VideoSource{url_, {}}, undecided);
    FrameTable table = builder.finish(decoded);
    if (table.by_position) {
        // The packets of a stream without timestamps carry those of their pictures.
        const std::vector<std::int64_t> times = builder.packet_timestamps(decoded);
        std::size_t next = 0;
        for (LoggedPacket& packet : pass_.packets) {
            if (packet.stream == stream && next < times.size()) packet.pts = times[next++];
        }
    }
    return table;
}

}  // namespace lorvex::container

namespace lorvex::container {

KnownSources::KnownSources() : tables_(std::make_shared<FrameTableCache>()) {}

void KnownSources::keep(const std::string& url, const FileIdentity& identity,
                        std::shared_ptr<Source> source) {
    std::erase_if(known_, [&](const Known& entry) { return entry.url == url; });
    known_.push_front({url, identity, std::move(source)});
    std::size_t bytes = 0;
    std::size_t kept = 0;  // the newest is always kept
    for (const Known& entry : known_) {
        const std::size_t size = entry.source->footprint();
        if (kept > 0 && (bytes + size > kRememberedBytes || kept == kRememberedSources)) break;
        bytes += size;
        ++kept;
    }
    known_.resize(kept);
}

std::shared_ptr<Source> KnownSources::find(const std::string& url) const {
    const std::optional<FileIdentity> identity = identify_file(url);
    if (!identity) return nullptr;
    const std::lock_guard lock(lock_);
    for (const Known& known : known_) {
        if (known.url == url && known.identity == *identity) return known.source;
    }
    return nullptr;
}

std::shared_ptr<Source> KnownSources::open(const std::string& url, const std::string& name) {
    const std::optional<FileIdentity> identity = identify_file(url);
    if (!identity) {
        return std::make_shared<Source>(url, name, identity, tables_);  // fails as it should
    }
    if (std::shared_ptr<Source> known = find(url)) return known;
    std::optional<SourceState> kept = kept_probe(url, *identity);
    auto source = kept ? std::make_shared<Source>(std::move(*kept), name, tables_)
                       : std::make_shared<Source>(url, name, identity, tables_);
    const std::lock_guard lock(lock_);
    keep(url, *identity, source);
    return source;
}

bool KnownSources::adopt(SourceState state) {
    const std::string url = state.url;
    const FileIdentity identity = state.identity;
    if (identify_file(url) != std::optional<FileIdentity>(identity)) return false;
    if (find(url)) return true;
    auto source = std::make_shared<Source>(std::move(state), url, tables_);
    const std::lock_guard lock(lock_);
    keep(url, identity, std::move(source));
    return true;
}

}  // namespace lorvex::container
