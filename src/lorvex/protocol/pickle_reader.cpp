#include "lorvex/protocol/pickle_reader.hpp"

#include <optional>
#include <string>

namespace lorvex {
namespace {

namespace op {
constexpr std::uint8_t kMark = 0x28;        // (
constexpr std::uint8_t kStop = 0x2e;        // .
constexpr std::uint8_t kBinInt = 0x4a;      // J
constexpr std::uint8_t kBinInt1 = 0x4b;     // K
constexpr std::uint8_t kBinInt2 = 0x4d;     // M
constexpr std::uint8_t kEmptyList = 0x5d;   // ]
constexpr std::uint8_t kAppend = 0x61;      // a
constexpr std::uint8_t kAppends = 0x65;     // e
constexpr std::uint8_t kBinGet = 0x68;      // h
constexpr std::uint8_t kLongBinGet = 0x6a;  // j
constexpr std::uint8_t kSetItem = 0x73;     // s
constexpr std::uint8_t kSetItems = 0x75;    // u
constexpr std::uint8_t kEmptyDict = 0x7d;   // }
constexpr std::uint8_t kProto = 0x80;
constexpr std::uint8_t kTuple3 = 0x87;
constexpr std::uint8_t kLong1 = 0x8a;
constexpr std::uint8_t kLong4 = 0x8b;
constexpr std::uint8_t kMemoize = 0x94;
constexpr std::uint8_t kFrame = 0x95;
}  // namespace op

struct OpcodeName {
    std::uint8_t code;
    const char* name;
};

// Every opcode pickle defines, so that a refusal says what it found.
constexpr OpcodeName kOpcodeNames[] = {
    {0x28, "MARK"},         {0x29, "EMPTY_TUPLE"},
    {0x2e, "STOP"},         {0x30, "POP"},
    {0x31, "POP_MARK"},     {0x32, "DUP"},
    {0x42, "BINBYTES"},     {0x43, "SHORT_BINBYTES"},
    {0x46, "FLOAT"},        {0x47, "BINFLOAT"},
    {0x49, "INT"},          {0x4a, "BININT"},
    {0x4b, "BININT1"},      {0x4c, "LONG"},
    {0x4d, "BININT2"},      {0x4e, "NONE"},
    {0x50, "PERSID"},       {0x51, "BINPERSID"},
    {0x52, "REDUCE"},       {0x53, "STRING"},
    {0x54, "BINSTRING"},    {0x55, "SHORT_BINSTRING"},
    {0x56, "UNICODE"},      {0x58, "BINUNICODE"},
    {0x5d, "EMPTY_LIST"},   {0x61, "APPEND"},
    {0x62, "BUILD"},        {0x63, "GLOBAL"},
    {0x64, "DICT"},         {0x65, "APPENDS"},
    {0x67, "GET"},          {0x68, "BINGET"},
    {0x69, "INST"},         {0x6a, "LONG_BINGET"},
    {0x6c, "LIST"},         {0x6f, "OBJ"},
    {0x70, "PUT"},          {0x71, "BINPUT"},
    {0x72, "LONG_BINPUT"},  {0x73, "SETITEM"},
    {0x74, "TUPLE"},        {0x75, "SETITEMS"},
    {0x7d, "EMPTY_DICT"},   {0x80, "PROTO"},
    {0x81, "NEWOBJ"},       {0x82, "EXT1"},
    {0x83, "EXT2"},         {0x84, "EXT4"},
    {0x85, "TUPLE1"},       {0x86, "TUPLE2"},
    {0x87, "TUPLE3"},       {0x88, "NEWTRUE"},
    {0x89, "NEWFALSE"},     {0x8a, "LONG1"},
    {0x8b, "LONG4"},        {0x8c, "SHORT_BINUNICODE"},
    {0x8d, "BINUNICODE8"},  {0x8e, "BINBYTES8"},
    {0x8f, "EMPTY_SET"},    {0x90, "ADDITEMS"},
    {0x91, "FROZENSET"},    {0x92, "NEWOBJ_EX"},
    {0x93, "STACK_GLOBAL"}, {0x94, "MEMOIZE"},
    {0x95, "FRAME"},        {0x96, "BYTEARRAY8"},
    {0x97, "NEXT_BUFFER"},  {0x98, "READONLY_BUFFER"},
};

const char* opcode_name(std::uint8_t code) {
    for (const OpcodeName& entry : kOpcodeNames) {
        if (entry.code == code) return entry.name;
    }
    return nullptr;
}

std::string describe_opcode(std::uint8_t code) {
    static constexpr char hex[] = "0123456789abcdef";
    const std::string byte = std::string("0x") + hex[code >> 4] + hex[code & 0xf];
    const char* name = opcode_name(code);
    return name ? std::string(name) + " (" + byte + ")" : "unknown opcode " + byte;
}

std::uint64_t little_endian(std::span<const std::uint8_t> bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) value = (value << 8) | bytes[i];
    return value;
}

// Walks the opcodes of one pickle. FRAME headers are checked and stepped over here, so the
// shape readers never see them; an opcode and its argument must lie inside the current frame,
// as the pickler never splits one.
class OpcodeStream {
  public:
    OpcodeStream(std::span<const std::uint8_t> bytes, const char* what)
        : bytes_(bytes), what_(what) {}

    [[noreturn]] void fail(const std::string& reason) const { fail_at(opcode_offset_, reason); }

    [[noreturn]] void unexpected(std::uint8_t code, const char* expected) const {
        fail(describe_opcode(code) + " where " + expected + " should be");
    }

    std::uint8_t next() {
        enter_frames();
        opcode_offset_ = position_;
        opcode_ = bytes_[position_++];
        return opcode_;
    }

    std::uint8_t peek() {
        enter_frames();
        return bytes_[position_];
    }

    void expect(std::uint8_t code, const char* expected) {
        const std::uint8_t found = next();
        if (found != code) unexpected(found, expected);
    }

    // `count` argument bytes of the opcode just read.
    std::span<const std::uint8_t> argument(std::size_t count) {
        const std::size_t limit = frame_end_.value_or(bytes_.size());
        if (count > limit - position_) {
            fail(describe_opcode(opcode_) + " needs " + std::to_string(count) +
                 " argument bytes but only " + std::to_string(limit - position_) + " are left" +
                 (frame_end_ ? " in its frame" : ""));
        }
        const auto taken = bytes_.subspan(position_, count);
        position_ += count;
        return taken;
    }

    void expect_protocol() {
        expect(op::kProto, "PROTO");
        const int version = argument(1)[0];
        if (version != kPickleProtocol) {
            fail("pickle protocol " + std::to_string(version) + ", expected " +
                 std::to_string(kPickleProtocol));
        }
    }

    // After STOP: nothing may follow.
    void expect_end() const {
        if (position_ != bytes_.size()) {
            fail(std::to_string(bytes_.size() - position_) + " bytes after STOP");
        }
    }

    // The value of an int opcode already read, or nullopt when `code` is not one.
    std::optional<std::int64_t> int_value(std::uint8_t code) {
        switch (code) {
            case op::kBinInt1:
                return argument(1)[0];
            case op::kBinInt2:
                return static_cast<std::int64_t>(little_endian(argument(2)));
            case op::kBinInt:
                return static_cast<std::int32_t>(
                    static_cast<std::uint32_t>(little_endian(argument(4))));
            case op::kLong1:
                return long_value(argument(argument(1)[0]));
            case op::kLong4: {
                const auto length = static_cast<std::int32_t>(
                    static_cast<std::uint32_t>(little_endian(argument(4))));
                if (length < 0) fail("LONG4 with negative length " + std::to_string(length));
                return long_value(argument(static_cast<std::size_t>(length)));
            }
            default:
                return std::nullopt;
        }
    }

    std::int64_t int_from(std::uint8_t code, const char* expected) {
        if (const auto value = int_value(code)) return *value;
        unexpected(code, expected);
    }

    std::int64_t next_int(const char* expected) { return int_from(next(), expected); }

  private:
    [[noreturn]] void fail_at(std::size_t offset, const std::string& reason) const {
        throw PickleError(std::string("bad ") + what_ + " pickle at offset " +
                          std::to_string(offset) + ": " + reason);
    }

    void enter_frames() {
        for (;;) {
            if (frame_end_ && position_ == *frame_end_) frame_end_.reset();
            if (position_ >= bytes_.size()) fail_at(position_, "the pickle ends before STOP");
            if (bytes_[position_] != op::kFrame) return;
            if (frame_end_) {
                fail_at(position_, "FRAME inside the frame that ends at offset " +
                                       std::to_string(*frame_end_));
            }
            opcode_offset_ = position_;
            opcode_ = bytes_[position_++];
            const std::uint64_t length = little_endian(argument(8));
            if (length > bytes_.size() - position_) {
                fail("FRAME of " + std::to_string(length) + " bytes but only " +
                     std::to_string(bytes_.size() - position_) + " follow");
            }
            frame_end_ = position_ + static_cast<std::size_t>(length);
        }
    }

    // LONG1/LONG4 payload: little-endian two's complement of any length.
    std::int64_t long_value(std::span<const std::uint8_t> bytes) const {
        if (bytes.empty()) return 0;
        const bool negative = (bytes.back() & 0x80) != 0;
        if (bytes.size() > 8) {
            // Longer than 8 bytes fits only as a redundant sign extension.
            const std::uint8_t extension = (bytes[7] & 0x80) ? 0xff : 0x00;
            for (std::size_t i = 8; i < bytes.size(); ++i) {
                if (bytes[i] != extension) {
                    fail("integer of " + std::to_string(bytes.size()) +
                         " bytes is out of range for a 64-bit integer");
                }
            }
            bytes = bytes.first(8);
        }
        std::uint64_t value = little_endian(bytes);
        if (negative && bytes.size() < 8) value |= ~std::uint64_t{0} << (8 * bytes.size());
        return static_cast<std::int64_t>(value);
    }

    std::span<const std::uint8_t> bytes_;
    const char* what_;
    std::size_t position_ = 0;
    std::optional<std::size_t> frame_end_;
    std::size_t opcode_offset_ = 0;
    std::uint8_t opcode_ = 0;
};

// The pickler memoizes every list, dict and tuple it writes and refers back to a tuple met
// before (the same tuple object twice) with BINGET/LONG_BINGET. Only tuples may be fetched.
class Memo {
  public:
    void memoize_if_next(OpcodeStream& in, std::optional<PtsInterval> value) {
        if (in.peek() != op::kMemoize) return;
        in.next();
        entries_.push_back(value);
    }

    PtsInterval fetch(OpcodeStream& in, std::uint8_t code) const {
        const std::uint64_t index = little_endian(in.argument(code == op::kBinGet ? 1 : 4));
        if (index >= entries_.size()) {
            in.fail("memo entry " + std::to_string(index) + " was never stored");
        }
        if (!entries_[index]) {
            in.fail("memo entry " + std::to_string(index) + " is a list, not an interval tuple");
        }
        return *entries_[index];
    }

  private:
    std::vector<std::optional<PtsInterval>> entries_;
};

RowAssignment read_row(OpcodeStream& in, std::uint8_t first) {
    RowAssignment row;
    row.frame_index = in.int_from(first, "a frame index (int key)");
    row.row = in.next_int("a row (int value)");
    return row;
}

PtsInterval read_interval(OpcodeStream& in, Memo& memo, std::uint8_t first) {
    if (first == op::kBinGet || first == op::kLongBinGet) return memo.fetch(in, first);
    PtsInterval interval;
    interval.start = in.int_from(first, "an interval (start pts, end pts, count)");
    interval.end = in.next_int("an interval's end pts (int)");
    interval.count = in.next_int("an interval's count (int)");
    in.expect(op::kTuple3, "TUPLE3 closing an interval");
    memo.memoize_if_next(in, interval);
    return interval;
}

bool starts_interval(std::uint8_t code) {
    switch (code) {
        case op::kBinInt1:
        case op::kBinInt2:
        case op::kBinInt:
        case op::kLong1:
        case op::kLong4:
        case op::kBinGet:
        case op::kLongBinGet:
            return true;
        default:
            return false;
    }
}

// One share: EMPTY_LIST, then its intervals one by one (APPEND) or in batches
// (MARK ... APPENDS). Its end is whatever cannot add to it, left for the caller.
std::vector<PtsInterval> read_share(OpcodeStream& in, Memo& memo, std::uint8_t first) {
    if (first != op::kEmptyList) in.unexpected(first, "a share (EMPTY_LIST)");
    memo.memoize_if_next(in, std::nullopt);
    std::vector<PtsInterval> share;
    for (;;) {
        const std::uint8_t code = in.peek();
        if (code == op::kMark) {
            in.next();
            for (std::uint8_t item; (item = in.next()) != op::kAppends;) {
                share.push_back(read_interval(in, memo, item));
            }
        } else if (starts_interval(code)) {
            share.push_back(read_interval(in, memo, in.next()));
            in.expect(op::kAppend, "APPEND after an interval");
        } else {
            return share;
        }
    }
}

}  // namespace

std::vector<RowAssignment> read_row_map_pickle(std::span<const std::uint8_t> bytes) {
    OpcodeStream in(bytes, "row map");
    in.expect_protocol();
    in.expect(op::kEmptyDict, "the row map (EMPTY_DICT)");
    if (in.peek() == op::kMemoize) in.next();
    std::vector<RowAssignment> rows;
    for (std::uint8_t code; (code = in.next()) != op::kStop;) {
        if (code == op::kMark) {
            for (std::uint8_t item; (item = in.next()) != op::kSetItems;) {
                rows.push_back(read_row(in, item));
            }
        } else {
            rows.push_back(read_row(in, code));
            in.expect(op::kSetItem, "SETITEM after a key and value");
        }
    }
    in.expect_end();
    return rows;
}

std::vector<std::vector<PtsInterval>> read_share_list_pickle(std::span<const std::uint8_t> bytes) {
    OpcodeStream in(bytes, "share list");
    Memo memo;
    in.expect_protocol();
    in.expect(op::kEmptyList, "the share list (EMPTY_LIST)");
    memo.memoize_if_next(in, std::nullopt);
    std::vector<std::vector<PtsInterval>> shares;
    for (std::uint8_t code; (code = in.next()) != op::kStop;) {
        if (code == op::kMark) {
            for (std::uint8_t item; (item = in.next()) != op::kAppends;) {
                shares.push_back(read_share(in, memo, item));
            }
        } else {
            shares.push_back(read_share(in, memo, code));
            in.expect(op::kAppend, "APPEND after a share");
        }
    }
    in.expect_end();
    return shares;
}

}  // namespace lorvex
