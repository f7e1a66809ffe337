#include "lorvex/protocol/base64.hpp"

#include <array>
#include <string>

namespace lorvex {
namespace {

constexpr std::int8_t kNotInAlphabet = -1;

constexpr std::array<std::int8_t, 256> make_sextet_table() {
    std::array<std::int8_t, 256> table{};
    table.fill(kNotInAlphabet);
    constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i) {
        table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
    }
    return table;
}

constexpr auto kSextets = make_sextet_table();

[[noreturn]] void refuse(const std::string& reason, std::size_t offset) {
    throw CommandLineError("invalid base64: " + reason + " at offset " + std::to_string(offset));
}

std::string describe_char(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x21 && byte < 0x7f) return std::string("'") + c + "'";
    static constexpr char hex[] = "0123456789abcdef";
    return std::string("byte 0x") + hex[byte >> 4] + hex[byte & 0xf];
}

}  // namespace

std::vector<std::uint8_t> decode_base64(std::string_view text) {
    if (text.size() % 4 != 0) {
        throw CommandLineError("invalid base64: length " + std::to_string(text.size()) +
                               " is not a multiple of 4");
    }
    // Padding may only close the last quantum, one or two '=' long.
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
        ++padding;
    }
    const std::size_t data_chars = text.size() - padding;

    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3);
    std::uint32_t bits = 0;
    int bit_count = 0;
    for (std::size_t i = 0; i < data_chars; ++i) {
        const std::int8_t sextet = kSextets[static_cast<unsigned char>(text[i])];
        if (sextet == kNotInAlphabet) {
            refuse(text[i] == '=' ? "misplaced padding" : describe_char(text[i]) + " is not base64",
                   i);
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(sextet);
        bit_count += 6;
        if (bit_count >= 8) {
            bit_count -= 8;
            bytes.push_back(static_cast<std::uint8_t>(bits >> bit_count));
            bits &= (1u << bit_count) - 1;
        }
    }
    // b64encode leaves the bits after the last whole byte at zero; anything else is not its text.
    if (bits != 0) refuse("non-zero bits before the padding", data_chars - 1);
    return bytes;
}

}  // namespace lorvex
