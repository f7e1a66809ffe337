#include "lorvex/media/h264_keyframes.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

#include "lorvex/media/mp4_sample_tables.hpp"

namespace lorvex {
namespace {

// More than the parser reads of a slice before it decides (first_mb_in_slice, slice_type and
// pic_parameter_set_id, each an Exp-Golomb code of at most 32 bits).
constexpr std::size_t kSliceStart = 64;

constexpr int kSlice = 1;
constexpr int kIdrSlice = 5;

// The slice_type of a slice whose unit (header byte included) is `unit`, read past emulation
// prevention bytes; nothing when the bytes run out first.
std::optional<unsigned> slice_type(std::span<const std::uint8_t> unit) {
    std::size_t byte = 1;  // after the unit header
    int bit = 0;
    int zeros = 0;
    const auto next_bit = [&]() -> std::optional<unsigned> {
        if (bit == 0) {
            if (byte >= unit.size()) return std::nullopt;
            if (zeros >= 2 && unit[byte] == 3) {
                zeros = 0;
                if (++byte >= unit.size()) return std::nullopt;
            }
            zeros = unit[byte] == 0 ? zeros + 1 : 0;
        }
        const unsigned value = (unit[byte] >> (7 - bit)) & 1u;
        if (++bit == 8) {
            bit = 0;
            ++byte;
        }
        return value;
    };
    const auto exp_golomb = [&]() -> std::optional<unsigned> {
        int leading = 0;
        for (;;) {
            const std::optional<unsigned> b = next_bit();
            if (!b) return std::nullopt;
            if (*b) break;
            if (++leading > 31) return std::nullopt;
        }
        std::uint64_t value = 1;
        for (int i = 0; i < leading; ++i) {
            const std::optional<unsigned> b = next_bit();
            if (!b) return std::nullopt;
            value = (value << 1) | *b;
        }
        return static_cast<unsigned>(value - 1);
    };
    if (!exp_golomb()) return std::nullopt;  // first_mb_in_slice
    return exp_golomb();
}

}  // namespace

H264Keyframes::H264Keyframes(const AVCodecParameters& parameters) {
    // An avcC record starts with version 1 and gives the size of the unit lengths; anything
    // else is Annex B, which the parser splits by start codes.
    if (parameters.extradata == nullptr || parameters.extradata_size < 7 ||
        parameters.extradata[0] != 1) {
        throw IndexDeclined("H.264 without an avcC record");
    }
    length_size_ = (parameters.extradata[4] & 0x03) + 1;
    codec_.reset(avcodec_alloc_context3(nullptr));
    if (!codec_) throw std::bad_alloc();
    check_av(avcodec_parameters_to_context(codec_.get(), &parameters), "prepare", "H.264 parser");
    parser_.reset(av_parser_init(AV_CODEC_ID_H264));
    if (!parser_) throw IndexDeclined("no H.264 parser");
    // As libavformat sets it for streams whose packets are whole pictures.
    parser_->flags |= PARSER_FLAG_COMPLETE_FRAMES;
}

H264Keyframes::~H264Keyframes() = default;

bool H264Keyframes::is_keyframe(std::span<const std::uint8_t> sample) {
    // The units up to the first slice, whole, then the start of that slice with its length
    // cut to what is shown. Where the lengths do not add up the parser sees the whole sample
    // and fails on it as it would in the packet.
    std::size_t shown = sample.size();
    std::size_t position = 0;
    // Only units before the first slice change what the parser knows (parameter sets) or
    // decides (a recovery point). Without them its word is plain: an IDR slice is a keyframe,
    // a P or B slice is not; an I slice depends on the parameter sets, and it decides.
    bool other_units = false;
    while (sample.size() - position > static_cast<std::size_t>(length_size_)) {
        std::size_t length = 0;
        for (int i = 0; i < length_size_; ++i) length = (length << 8) | sample[position + i];
        const std::size_t unit = position + static_cast<std::size_t>(length_size_);
        if (length == 0 || length > sample.size() - unit) break;
        const int type = sample[unit] & 0x1f;
        if ((type == kSlice || type == kIdrSlice) && !other_units) {
            if (type == kIdrSlice) return true;
            const std::optional<unsigned> kind =
                slice_type(sample.subspan(unit, std::min(length, kSliceStart)));
            if (kind && *kind % 5 != 2) return false;
        }
        if (type == 6 || type == 7 || type == 8) other_units = true;
        if (type == kSlice || type == kIdrSlice) {
            const std::size_t kept = std::min(length, kSliceStart);
            shown_.assign(sample.begin(),
                          sample.begin() + static_cast<std::ptrdiff_t>(unit + kept));
            for (int i = 0; i < length_size_; ++i) {
                shown_[position + static_cast<std::size_t>(i)] =
                    static_cast<std::uint8_t>(kept >> (8 * (length_size_ - 1 - i)));
            }
            shown = 0;
            break;
        }
        position = unit + length;
    }
    if (shown != 0) shown_.assign(sample.begin(), sample.end());
    const std::size_t size = shown_.size();
    shown_.resize(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);

    std::uint8_t* out = nullptr;
    int out_size = 0;
    av_parser_parse2(parser_.get(), codec_.get(), &out, &out_size, shown_.data(),
                     static_cast<int>(size), AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    // demux.c's rule for a parsed packet: the container's own flag is not kept.
    const AVCodecParserContext& parser = *parser_;
    return parser.key_frame == 1 ||
           (parser.key_frame == -1 && parser.pict_type == AV_PICTURE_TYPE_I);
}

}  // namespace lorvex
