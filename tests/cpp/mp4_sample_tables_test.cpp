#include "lorvex/media/mp4_sample_tables.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace lorvex {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put32(Bytes& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back((value >> shift) & 0xff);
}

Bytes box(const char* type, const Bytes& body) {
    Bytes out;
    put32(out, static_cast<std::uint32_t>(body.size() + 8));
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// A full box (version and flags 0) whose body is these 32-bit fields.
Bytes table(const char* type, std::initializer_list<std::uint32_t> fields) {
    Bytes body(4, 0);
    for (const std::uint32_t field : fields) put32(body, field);
    return box(type, body);
}

// A video track of `sizes.size()` samples in chunks of two, at offsets 1000, 2000, ...
Bytes track(const std::vector<std::uint32_t>& sizes, const Bytes& extra = {}) {
    Bytes sizes_body(4, 0);
    put32(sizes_body, 0);
    put32(sizes_body, static_cast<std::uint32_t>(sizes.size()));
    for (const std::uint32_t size : sizes) put32(sizes_body, size);
    const auto chunks = static_cast<std::uint32_t>((sizes.size() + 1) / 2);
    Bytes offsets_body(4, 0);
    put32(offsets_body, chunks);
    for (std::uint32_t i = 0; i < chunks; ++i) put32(offsets_body, 1000 * (i + 1));
    const Bytes samples = box(
        "stbl", join({table("stsd", {1, 16, 0x61766331 /* avc1 */, 0, 0}), box("stsz", sizes_body),
                      table("stsc", {1, 1, 2, 1}), box("stco", offsets_body), extra}));
    return box("trak", box("mdia", box("minf", samples)));
}

std::vector<TrackTables> read(const Bytes& movie) {
    const Bytes file = join({box("ftyp", Bytes(8, 0)), box("moov", movie), box("mdat", {})});
    return read_track_tables(file);
}

TEST(Mp4SampleTables, SamplesArePlacedChunkByChunk) {
    const std::vector<TrackTables> tracks = read(track({10, 20, 30}));
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0].positions, (std::vector<std::int64_t>{1000, 1010, 2000}));
    EXPECT_EQ(tracks[0].sizes, (std::vector<std::uint32_t>{10, 20, 30}));
    EXPECT_EQ(tracks[0].description_count, 1u);
    EXPECT_FALSE(tracks[0].sync_sample_count.has_value());
    EXPECT_FALSE(tracks[0].has_composition_offsets);
}

TEST(Mp4SampleTables, CompositionOffsetsAsLibavformatReadsThem) {
    // Entries with a count of 0 are skipped; a negative offset among the last two entries
    // does not enter the shift (mov_read_ctts), an earlier one does.
    const Bytes offsets = table("ctts", {4, 1, static_cast<std::uint32_t>(-2), 0, 7, 1, 5, 2,
                                         static_cast<std::uint32_t>(-9)});
    const std::vector<TrackTables> tracks = read(track({1, 1, 1, 1}, offsets));
    EXPECT_TRUE(tracks[0].has_composition_offsets);
    EXPECT_EQ(tracks[0].composition_offsets, (std::vector<std::int32_t>{-2, 5, -9, -9}));
    EXPECT_EQ(tracks[0].composition_shift, 2);
}

TEST(Mp4SampleTables, WhatTheIndexDoesNotHandleIsDeclined) {
    const auto declined = [](const Bytes& movie, const std::string& reason) {
        try {
            read(movie);
            ADD_FAILURE() << "accepted, expected: " << reason;
        } catch (const IndexDeclined& error) {
            EXPECT_NE(std::string(error.what()).find(reason), std::string::npos) << error.what();
        }
    };
    declined(join({track({1, 2}), box("mvex", {})}), "fragmented");
    declined(track({1, 2}, table("stsz", {0, 0})), "two of one sample table");
    declined(track({1, 2}, table("stz2", {0, 0})), "stz2");
    declined(track({1, 2}, table("ctts", {1, 1, 1u << 30})), "out of range");
    // Cut short: the movie box claims more than the file holds.
    Bytes cut = join({box("ftyp", Bytes(8, 0)), box("moov", track({1, 2}))});
    cut.resize(cut.size() - 3);
    EXPECT_THROW(read_track_tables(cut), IndexDeclined);
    // An edit at another rate.
    const Bytes edits = box("edts", table("elst", {1, 10, 0, 0x00020000}));
    Bytes trak = track({1, 2});
    declined(box("trak", join({edits, Bytes(trak.begin() + 8, trak.end())})), "rate");
}

}  // namespace
}  // namespace lorvex
