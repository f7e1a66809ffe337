// The sample tables of the tracks of an MP4/MOV file, read from its movie box: where each
// sample lies and its composition offset. libavformat's index gives the rest (decode times,
// sync and discard flags, sizes) after its edit-list rules; these tables tie each of its
// entries to its sample, whose composition offset the index does not keep.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace lorvex {

// Something in the file that the index-built table does not handle: the packet pass decides.
class IndexDeclined : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct TrackTables {
    std::vector<std::int64_t> positions;  // file offset of each sample, in sample order
    std::vector<std::uint32_t> sizes;     // byte size of each sample
    // One per sample while the composition offset table lasts (libavformat's reading of it:
    // entries with a count of 0 or less left out); empty without one.
    std::vector<std::int32_t> composition_offsets;
    bool has_composition_offsets = false;
    // What libavformat adds to every pts when offsets are negative (its dts shift).
    std::int64_t composition_shift = 0;
    std::size_t edit_count = 0;
    std::optional<std::uint32_t> sync_sample_count;  // nothing without a sync sample table
    std::uint32_t description_count = 0;
    std::uint32_t first_description = 0;  // the four-character code of the first description
};

// Every track of the file's movie box, in file order. Throws IndexDeclined when the file is
// fragmented, has no movie box, or holds tables this reader does not know.
std::vector<TrackTables> read_track_tables(std::span<const std::uint8_t> file);

}  // namespace lorvex
