#include "lorvex/media/mp4_sample_tables.hpp"

#include <climits>

namespace lorvex {
namespace {

constexpr std::uint32_t fourcc(const char (&code)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

[[noreturn]] void decline(const std::string& reason) {
    throw IndexDeclined(reason);
}

// Big-endian fields of one box's body, every read checked.
class Fields {
  public:
    explicit Fields(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::uint64_t take(std::size_t width) {
        if (bytes_.size() - position_ < width) decline("a sample table is cut short");
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) value = (value << 8) | bytes_[position_++];
        return value;
    }
    std::uint32_t u32() { return static_cast<std::uint32_t>(take(4)); }
    std::uint64_t u64() { return take(8); }
    void skip(std::size_t count) {
        if (bytes_.size() - position_ < count) decline("a sample table is cut short");
        position_ += count;
    }
    std::size_t left() const { return bytes_.size() - position_; }
    std::span<const std::uint8_t> rest() const { return bytes_.subspan(position_); }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

struct Box {
    std::uint32_t type;
    std::span<const std::uint8_t> body;
};

// The boxes that fill `bytes`, in order. A box running past its parent ends the list (as
// libavformat's reader stops there).
std::vector<Box> boxes_in(std::span<const std::uint8_t> bytes) {
    std::vector<Box> boxes;
    std::size_t position = 0;
    while (bytes.size() - position >= 8) {
        Fields header(bytes.subspan(position));
        std::uint64_t size = header.u32();
        const std::uint32_t type = header.u32();
        std::size_t header_size = 8;
        if (size == 1) {
            size = header.u64();
            header_size = 16;
        } else if (size == 0) {
            size = bytes.size() - position;
        }
        if (size < header_size || size > bytes.size() - position) {
            // A movie box cut short, or a file whose last box runs past its end.
            boxes.push_back({0, {}});
            break;
        }
        boxes.push_back({type, bytes.subspan(position + header_size, size - header_size)});
        position += size;
    }
    return boxes;
}

std::optional<Box> only_child(std::span<const std::uint8_t> bytes, std::uint32_t type) {
    std::optional<Box> found;
    for (const Box& box : boxes_in(bytes)) {
        if (box.type != type) continue;
        if (found) decline("a track holds two of one sample table");
        found = box;
    }
    return found;
}

void read_sizes(Box box, TrackTables& track) {
    Fields fields(box.body);
    fields.skip(4);  // version and flags
    const std::uint32_t constant = fields.u32();
    const std::uint32_t count = fields.u32();
    if (constant == 0 && fields.left() / 4 < count) decline("the sample size table is cut short");
    track.sizes.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i)
        track.sizes.push_back(constant ? constant : fields.u32());
}

struct ChunkRun {
    std::uint32_t first;  // 1-based
    std::uint32_t samples;
};

std::vector<ChunkRun> read_chunk_runs(Box box) {
    Fields fields(box.body);
    fields.skip(4);
    const std::uint32_t count = fields.u32();
    if (fields.left() / 12 < count) decline("the sample-to-chunk table is cut short");
    std::vector<ChunkRun> runs;
    runs.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t first = fields.u32();
        const std::uint32_t samples = fields.u32();
        const std::uint32_t description = fields.u32();
        // libavformat repairs tables out of order; only well-formed ones are read here.
        if (first < i + 1 || (i > 0 && first <= runs.back().first) || samples < 1 ||
            samples > INT_MAX || description < 1) {
            decline("the sample-to-chunk table is irregular");
        }
        runs.push_back({first, samples});
    }
    return runs;
}

std::vector<std::int64_t> read_chunk_offsets(Box box, bool wide) {
    Fields fields(box.body);
    fields.skip(4);
    const std::uint32_t count = fields.u32();
    if (fields.left() / (wide ? 8 : 4) < count) decline("the chunk offset table is cut short");
    std::vector<std::int64_t> offsets;
    offsets.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        offsets.push_back(static_cast<std::int64_t>(wide ? fields.u64() : fields.u32()));
    }
    return offsets;
}

// Where each sample lies: chunk by chunk, samples back to back, as libavformat walks them.
void place_samples(const std::vector<ChunkRun>& runs, const std::vector<std::int64_t>& chunks,
                   TrackTables& track) {
    const std::size_t count = track.sizes.size();
    track.positions.reserve(count);
    std::size_t run = 0;
    for (std::size_t chunk = 0; chunk < chunks.size() && !runs.empty(); ++chunk) {
        while (run + 1 < runs.size() && chunk + 1 == runs[run + 1].first) ++run;
        std::int64_t offset = chunks[chunk];
        for (std::uint32_t i = 0; i < runs[run].samples; ++i) {
            const std::size_t sample = track.positions.size();
            if (sample >= count) return;
            track.positions.push_back(offset);
            offset += track.sizes[sample];
        }
    }
}

// libavformat's reading of the composition offset table (mov_read_ctts and the expansion to
// one entry per sample in mov_build_index), with its dts shift.
void read_composition_offsets(Box box, TrackTables& track) {
    Fields fields(box.body);
    fields.skip(4);
    const std::uint32_t entries = fields.u32();
    if (entries == 0) return;
    if (fields.left() / 8 < entries) decline("the composition offset table is cut short");
    track.has_composition_offsets = true;
    const std::size_t samples = track.sizes.size();
    for (std::uint32_t i = 0; i < entries; ++i) {
        const auto count = static_cast<std::int32_t>(fields.u32());
        const auto offset = static_cast<std::int32_t>(fields.u32());
        if (count <= 0) continue;
        if (offset == INT_MIN || offset < -(1 << 28) || offset > (1 << 28)) {
            decline("a composition offset is out of range");
        }
        if (static_cast<std::uint64_t>(i) + 2 < entries && offset < 0) {
            track.composition_shift = std::max<std::int64_t>(track.composition_shift, -offset);
        }
        for (std::int32_t k = 0; k < count && track.composition_offsets.size() < samples; ++k) {
            track.composition_offsets.push_back(offset);
        }
    }
}

TrackTables read_track(std::span<const std::uint8_t> trak) {
    TrackTables track;
    if (const std::optional<Box> edits = only_child(trak, fourcc("edts"))) {
        if (const std::optional<Box> list = only_child(edits->body, fourcc("elst"))) {
            Fields fields(list->body);
            const std::uint64_t version = fields.take(1);
            fields.skip(3);
            track.edit_count = fields.u32();
            for (std::size_t i = 0; i < track.edit_count; ++i) {
                fields.skip(version == 1 ? 16 : 8);  // segment duration, media time
                if (fields.u32() != 0x00010000) decline("an edit plays at a rate other than 1");
            }
        }
    }
    const std::optional<Box> media = only_child(trak, fourcc("mdia"));
    if (!media) decline("a track has no media box");
    const std::optional<Box> information = only_child(media->body, fourcc("minf"));
    if (!information) decline("a track has no media information box");
    const std::optional<Box> samples = only_child(information->body, fourcc("stbl"));
    if (!samples) decline("a track has no sample table");
    const std::span<const std::uint8_t> tables = samples->body;

    if (const std::optional<Box> descriptions = only_child(tables, fourcc("stsd"))) {
        Fields fields(descriptions->body);
        fields.skip(4);
        track.description_count = fields.u32();
        if (track.description_count > 0) {
            fields.skip(4);  // the first description's size
            track.first_description = fields.u32();
        }
    }
    if (only_child(tables, fourcc("stz2"))) decline("compact sample sizes (stz2)");
    if (const std::optional<Box> sizes = only_child(tables, fourcc("stsz")))
        read_sizes(*sizes, track);
    if (const std::optional<Box> sync = only_child(tables, fourcc("stss"))) {
        Fields fields(sync->body);
        fields.skip(4);
        track.sync_sample_count = fields.u32();
    }
    const std::optional<Box> runs = only_child(tables, fourcc("stsc"));
    const std::optional<Box> narrow = only_child(tables, fourcc("stco"));
    const std::optional<Box> wide = only_child(tables, fourcc("co64"));
    if (narrow && wide) decline("a track has two chunk offset tables");
    if (runs && (narrow || wide)) {
        place_samples(read_chunk_runs(*runs),
                      read_chunk_offsets(wide ? *wide : *narrow, bool(wide)), track);
    }
    if (const std::optional<Box> offsets = only_child(tables, fourcc("ctts"))) {
        read_composition_offsets(*offsets, track);
    }
    return track;
}

}  // namespace

std::vector<TrackTables> read_track_tables(std::span<const std::uint8_t> file) {
    std::optional<Box> movie;
    for (const Box& box : boxes_in(file)) {
        if (box.type == fourcc("moof")) decline("fragmented file (moof)");
        if (box.type == fourcc("moov") && !movie) movie = box;
    }
    if (!movie) decline("no movie box");
    std::vector<TrackTables> tracks;
    for (const Box& box : boxes_in(movie->body)) {
        if (box.type == 0) decline("the movie box is cut short");
        if (box.type == fourcc("mvex")) decline("fragmented file (mvex)");
        if (box.type == fourcc("trak")) tracks.push_back(read_track(box.body));
    }
    return tracks;
}

}  // namespace lorvex
