// Inputs the decoder service opens once for the decoders it forks (decoder_service_inputs.hpp):
// a forked decoder starts from a copy of the context as open_video_input left it, header and
// sample tables read, instead of reading them again (a long MP4's index is a large part of
// what opening it costs).
//
// The file is read with positioned reads through a descriptor of the input's own, never with
// the descriptor's offset: every forked copy shares that descriptor, and keeps its position in
// its own copy of the reader.
#pragma once

#include <optional>
#include <string>

#include "lorvex/media/ffmpeg.hpp"
#include "lorvex/protocol/frame_table_file.hpp"

namespace lorvex {

class PositionedFileReader;

struct PreparedInput {
    FileIdentity file;
    UniqueFormatContext format;  // as open_video_input(..., header_when_complete) leaves it
    PositionedFileReader* reader = nullptr;  // the format's, which owns it

    int descriptor() const noexcept;
    // The descriptor has a new number (a forked decoder moves its descriptors about).
    void renumber(int descriptor) noexcept;
};

// Opens the regular file at `location` as a decoder opens the file `path` (which is how the
// decoder's command line names it: errors name it, and its name guides the choice of demuxer).
// Nothing when it is not a regular file.
std::optional<PreparedInput> prepare_input(const std::string& location, const std::string& path);

// Hands `input` to this process's decoder: the next decoder opening a file that is, by then,
// still the very file `input` was opened from takes it instead of opening the file.
void offer_input(PreparedInput input);

// The offered input, when `path` names that file as it is now; it is taken only once.
std::optional<UniqueFormatContext> take_offered_input(const std::string& path);

}  // namespace lorvex
