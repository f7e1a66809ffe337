#include "lorvex/protocol/pickle_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "cpython_pickles.hpp"
#include "lorvex/protocol/base64.hpp"
#include "refusal.hpp"

namespace lorvex {
namespace {

using lorvex::testing::refuses;
using Bytes = std::vector<std::uint8_t>;
using Pairs = std::vector<std::pair<std::int64_t, std::int64_t>>;
using Triples = std::vector<std::vector<std::tuple<std::int64_t, std::int64_t, std::int64_t>>>;

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();

// What CPython writes for these, as the loaders call it (cpython_pickles.hpp).
Bytes from_python(const std::string& name) {
    static const auto pickles = lorvex::testing::cpython_pickles({
        {"empty_dict", "{}"},
        {"one_entry", "{7: 0}"},
        {"int_widths",
         "{5: 1, -3: 0, 300: 2, 70000: 3, 2**31: 4, -2**31-1: 5, 2**63-1: 6, "
         "-2**63: 7, 255: 8, 256: 9, 65535: 10, 65536: 11, -1: 12}"},
        // Both sides of every power of two, so that each opcode and each LONG1 length,
        // positive and negative, meets its smallest and largest values.
        {"every_width",
         "dict((v, r) for r, v in enumerate(x for b in range(63) for x in "
         "(2**b - 1, 2**b, 2**b + 1, -2**b, -2**b - 1)))"},
        // Five frames, keys of every int opcode, 30 SETITEMS batches.
        {"large_dict", "{(i * 2654435761) % 2**40 - 2**39: i for i in range(30000)}"},
        {"batch_and_one", "{i: 1000 - i for i in range(1001)}"},
        {"key_too_big", "{2**63: 0}"},
        {"value_too_small", "{0: -2**63-1}"},
        {"float_value", "{1: 2.5}"},
        {"bool_value", "{1: True}"},
        {"string_key", "{'a': 1}"},
        {"nested_dict", "{1: {2: 3}}"},
        {"none_value", "{1: None}"},
        {"list_not_dict", "[1, 2]"},
        {"protocol_4", "protocol(4, {1: 0})"},
        {"empty_list", "[]"},
        {"one_empty_share", "[[]]"},
        {"shares", "[[(0, 100, 3)], [], [(-5, 2**40, 1), (7, 8, 9)]]"},
        // The second and third t are BINGET 2.
        {"repeated_tuple", "(lambda t: [[t], [t, t]])((1, 2, 3))"},
        {"large_shares",
         "[[(i*1001 - 5*10**6 + j, i*1001 + 7**20, i % 3) for i in range(4000)] "
         "for j in range(4)] + [[]]"},
        {"pts_too_big", "[[(2**64, 0, 0)]]"},
        {"pair_not_triple", "[[(1, 2)]]"},
        {"list_not_tuple", "[[[1, 2, 3]]]"},
        {"too_deep", "[[[(1, 2, 3)]]]"},
        {"tuple_share", "[((1, 2, 3),)]"},
        {"float_pts", "[[(1.0, 2, 3)]]"},
    });
    return decode_base64(pickles.at(name));
}

Pairs pairs_of(const std::vector<RowAssignment>& rows) {
    Pairs pairs;
    for (const auto& row : rows) pairs.emplace_back(row.frame_index, row.row);
    return pairs;
}

Triples triples_of(const std::vector<std::vector<PtsInterval>>& shares) {
    Triples triples;
    for (const auto& share : shares) {
        auto& out = triples.emplace_back();
        for (const auto& interval : share)
            out.emplace_back(interval.start, interval.end, interval.count);
    }
    return triples;
}

auto row_map(const Bytes& bytes) {
    return [bytes] { read_row_map_pickle(bytes); };
}
auto share_list(const Bytes& bytes) {
    return [bytes] { read_share_list_pickle(bytes); };
}

// A protocol 5 pickle of `body` (everything after the FRAME header, STOP included) in one frame.
Bytes framed(const Bytes& body) {
    Bytes bytes = {0x80, 5, 0x95};
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(body.size() >> (8 * i)));
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

std::size_t frame_count(const Bytes& bytes) {
    // CPython's frames follow one another.
    std::size_t frames = 0;
    for (std::size_t at = 2; at < bytes.size() && bytes[at] == 0x95; ++frames) {
        std::uint64_t length = 0;
        for (int i = 7; i >= 0; --i)
            length = (length << 8) | bytes[at + 1 + static_cast<std::size_t>(i)];
        at += 9 + length;
    }
    return frames;
}

TEST(RowMapPickle, ReadsCPythonDicts) {
    EXPECT_EQ(pairs_of(read_row_map_pickle(from_python("empty_dict"))), Pairs{});
    EXPECT_EQ(pairs_of(read_row_map_pickle(from_python("one_entry"))), (Pairs{{7, 0}}));
    const Pairs widths = {{5, 1},          {-3, 0},          {300, 2},       {70000, 3},
                          {2147483648, 4}, {-2147483649, 5}, {kInt64Max, 6}, {kInt64Min, 7},
                          {255, 8},        {256, 9},         {65535, 10},    {65536, 11},
                          {-1, 12}};
    EXPECT_EQ(pairs_of(read_row_map_pickle(from_python("int_widths"))), widths);
}

TEST(RowMapPickle, ReadsLargeMultiFrameDictsAsCPythonWritesThem) {
    Pairs items;
    for (std::int64_t i = 0; i < 30000; ++i) {
        items.emplace_back((i * 2654435761) % (std::int64_t{1} << 40) - (std::int64_t{1} << 39), i);
    }
    const Bytes bytes = from_python("large_dict");
    EXPECT_EQ(frame_count(bytes), 5u);
    EXPECT_EQ(pairs_of(read_row_map_pickle(bytes)), items);

    // A batch of 1000 and a batch of one; the pure-Python pickler's SETITEM for a last batch of
    // one.
    Pairs batch_and_one;
    for (std::int64_t i = 0; i < 1001; ++i) batch_and_one.emplace_back(i, 1000 - i);
    EXPECT_EQ(pairs_of(read_row_map_pickle(from_python("batch_and_one"))), batch_and_one);
    const Bytes setitem_last =
        framed({0x7d, 0x94, 0x28, 0x4b, 1, 0x4b, 2, 0x75, 0x4b, 3, 0x4b, 4, 0x73, 0x2e});
    EXPECT_EQ(pairs_of(read_row_map_pickle(setitem_last)), (Pairs{{1, 2}, {3, 4}}));
}

TEST(RowMapPickle, ReadsEveryIntegerWidthAndSign) {
    Pairs items;
    std::int64_t row = 0;
    for (int bits = 0; bits < 63; ++bits) {
        const std::int64_t power = std::int64_t{1} << bits;
        for (const std::int64_t value : {power - 1, power, power + 1, -power, -power - 1}) {
            items.emplace_back(value, row++);
        }
    }
    // Python's dict keeps the first place of a key that comes again (2**0 - 1 is -2**0 + 1...).
    Pairs firsts;
    for (const auto& [value, place] : items) {
        if (std::none_of(firsts.begin(), firsts.end(),
                         [value = value](const auto& kept) { return kept.first == value; })) {
            firsts.emplace_back(value, place);
        }
    }
    for (auto& [value, place] : firsts) {
        // ...and the last row given to it.
        for (const auto& [again, later] : items) {
            if (again == value) place = later;
        }
    }
    EXPECT_EQ(pairs_of(read_row_map_pickle(from_python("every_width"))), firsts);
}

TEST(RowMapPickle, RefusesIntegersOutsideInt64) {
    EXPECT_TRUE(refuses<PickleError>(row_map(from_python("key_too_big")),
                                     "integer of 9 bytes is out of range"));
    EXPECT_TRUE(refuses<PickleError>(row_map(from_python("value_too_small")), "out of range"));
    // Redundant sign bytes still fit: LONG1 of 9 bytes holding -1, LONG4 of 2 holding 300.
    EXPECT_EQ(pairs_of(read_row_map_pickle(
                  framed({0x7d, 0x8a, 9, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                          0xff, 0x8b, 2, 0,    0,    0,    0x2c, 1,    0x73, 0x2e}))),
              (Pairs{{-1, 300}}));
    EXPECT_EQ(pairs_of(read_row_map_pickle(framed({0x7d, 0x8a, 0, 0x8a, 1, 0x80, 0x73, 0x2e}))),
              (Pairs{{0, -128}}));
    EXPECT_TRUE(refuses<PickleError>(
        row_map(framed({0x7d, 0x8b, 0xff, 0xff, 0xff, 0xff, 0x4b, 0, 0x73, 0x2e})),
        "LONG4 with negative length -1"));
    EXPECT_TRUE(refuses<PickleError>(
        row_map(framed({0x7d, 0x8b, 0xff, 0xff, 0xff, 0x7f, 0x4b, 0, 0x73, 0x2e})),
        "needs 2147483647 argument bytes"));
}

TEST(RowMapPickle, RefusesOtherShapesNamingTheOpcode) {
    EXPECT_TRUE(
        refuses<PickleError>(row_map(from_python("float_value")),
                             "offset 15: BINFLOAT (0x47) where a row (int value) should be"));
    EXPECT_TRUE(refuses<PickleError>(row_map(from_python("bool_value")), "NEWTRUE"));
    EXPECT_TRUE(refuses<PickleError>(row_map(from_python("string_key")), "SHORT_BINUNICODE"));
    EXPECT_TRUE(refuses<PickleError>(row_map(from_python("nested_dict")), "EMPTY_DICT"));
    EXPECT_TRUE(refuses<PickleError>(row_map(from_python("none_value")), "NONE"));
    EXPECT_TRUE(refuses<PickleError>(row_map(from_python("list_not_dict")),
                                     "EMPTY_LIST (0x5d) where the row map (EMPTY_DICT) should be"));
    EXPECT_TRUE(
        refuses<PickleError>(row_map(from_python("protocol_4")), "pickle protocol 4, expected 5"));
    EXPECT_TRUE(refuses<PickleError>(row_map(from_python("shares")), "row map"));
    // An odd number of items in a SETITEMS batch.
    EXPECT_TRUE(refuses<PickleError>(row_map(framed({0x7d, 0x28, 0x4b, 1, 0x75, 0x2e})),
                                     "SETITEMS (0x75) where a row (int value) should be"));
    // Python never refers back to a dict or int; a memo fetch is not an int.
    EXPECT_TRUE(refuses<PickleError>(row_map(framed({0x7d, 0x94, 0x68, 0, 0x4b, 1, 0x73, 0x2e})),
                                     "BINGET"));
    EXPECT_TRUE(refuses<PickleError>(row_map(framed({0x7d, 0x4b, 1, 0x94, 0x4b, 1, 0x73, 0x2e})),
                                     "MEMOIZE"));
    EXPECT_TRUE(refuses<PickleError>(row_map(framed({0x7d, 0xff, 0x2e})), "unknown opcode 0xff"));
}

TEST(RowMapPickle, RefusesBrokenFramingAndEnds) {
    EXPECT_TRUE(refuses<PickleError>(row_map({}), "offset 0: the pickle ends before STOP"));
    EXPECT_TRUE(refuses<PickleError>(row_map({0x80}), "PROTO (0x80) needs 1 argument bytes"));
    EXPECT_TRUE(refuses<PickleError>(row_map(framed({0x7d, 0x4b, 1, 0x4b, 2, 0x73})),
                                     "the pickle ends before STOP"));
    Bytes trailing = from_python("one_entry");
    trailing.push_back(0x2e);
    EXPECT_TRUE(refuses<PickleError>(row_map(trailing), "offset 18: 1 bytes after STOP"));

    Bytes too_long = from_python("one_entry");
    too_long[3] = 9;  // the frame claims one byte more than follows
    EXPECT_TRUE(
        refuses<PickleError>(row_map(too_long), "offset 2: FRAME of 9 bytes but only 8 follow"));
    Bytes huge = from_python("one_entry");
    huge[10] = 0xff;  // a length near 2**64 must not wrap around
    EXPECT_TRUE(refuses<PickleError>(row_map(huge), "but only 8 follow"));
    // An opcode's argument may not run past the end of its frame, into the next one or not.
    EXPECT_TRUE(refuses<PickleError>(
        row_map(Bytes{0x80, 5, 0x95, 2, 0, 0, 0, 0, 0, 0,    0, 0x7d, 0x4b, 0x95,
                      4,    0, 0,    0, 0, 0, 0, 0, 1, 0x4b, 2, 0x73, 0x2e}),
        "offset 12: BININT1 (0x4b) needs 1 argument bytes but only 0 are left in its frame"));
    EXPECT_TRUE(refuses<PickleError>(
        row_map(
            Bytes{0x80, 5, 0x95, 3, 0, 0, 0, 0, 0, 0, 0, 0x7d, 0x4d, 1, 0, 0x4b, 2, 0x73, 0x2e}),
        "BININT2 (0x4d) needs 2 argument bytes but only 1 are left in its frame"));
    EXPECT_TRUE(refuses<PickleError>(
        row_map({0x80, 5, 0x95, 4, 0, 0, 0, 0, 0, 0, 0, 0x7d, 0x95, 0, 0, 0, 0, 0, 0, 0, 0, 0x2e}),
        "offset 12: FRAME inside the frame that ends at offset 15"));
    // Consecutive frames, and data after the last frame, are what the pickler may write.
    EXPECT_EQ(
        pairs_of(read_row_map_pickle(Bytes{0x80, 5, 0x95, 3, 0, 0, 0, 0, 0, 0,    0, 0x7d, 0x4b, 1,
                                           0x95, 2, 0,    0, 0, 0, 0, 0, 0, 0x4b, 2, 0x73, 0x2e})),
        (Pairs{{1, 2}}));
}

TEST(ShareListPickle, ReadsCPythonLists) {
    EXPECT_EQ(triples_of(read_share_list_pickle(from_python("empty_list"))), Triples{});
    EXPECT_EQ(triples_of(read_share_list_pickle(from_python("one_empty_share"))), Triples{{}});
    const Triples shares = {{{0, 100, 3}}, {}, {{-5, std::int64_t{1} << 40, 1}, {7, 8, 9}}};
    EXPECT_EQ(triples_of(read_share_list_pickle(from_python("shares"))), shares);
    EXPECT_EQ(triples_of(read_share_list_pickle(from_python("repeated_tuple"))),
              (Triples{{{1, 2, 3}}, {{1, 2, 3}, {1, 2, 3}}}));
}

TEST(ShareListPickle, ReadsLargeMultiFrameListsAsCPythonWritesThem) {
    Triples shares(5);
    for (std::int64_t j = 0; j < 4; ++j) {
        for (std::int64_t i = 0; i < 4000; ++i) {
            shares[static_cast<std::size_t>(j)].emplace_back(i * 1001 - 5000000 + j,
                                                             i * 1001 + 79792266297612001, i % 3);
        }
    }
    const Bytes bytes = from_python("large_shares");
    EXPECT_EQ(frame_count(bytes), 5u);
    EXPECT_EQ(triples_of(read_share_list_pickle(bytes)), shares);
}

TEST(ShareListPickle, ReadsMemoReferencesOnlyToTuples) {
    // [[t], [t]] with the second t as LONG_BINGET, as CPython writes past 256 memo entries.
    const Bytes long_get =
        framed({0x5d, 0x94, 0x28, 0x5d, 0x94, 0x4b, 1, 0x4b, 2, 0x4b, 3,    0x87,
                0x94, 0x61, 0x5d, 0x94, 0x6a, 2,    0, 0,    0, 0x61, 0x65, 0x2e});
    EXPECT_EQ(triples_of(read_share_list_pickle(long_get)), (Triples{{{1, 2, 3}}, {{1, 2, 3}}}));
    // Memo entries: 0 the outer list, 1 the first share, 2 the tuple, 3 the second share.
    const auto fetch = [](std::uint8_t index) {
        return framed({0x5d, 0x94, 0x28, 0x5d, 0x94, 0x4b, 1,     0x4b, 2,    0x4b, 3,
                       0x87, 0x94, 0x61, 0x5d, 0x94, 0x68, index, 0x61, 0x65, 0x2e});
    };
    EXPECT_EQ(triples_of(read_share_list_pickle(fetch(2))), (Triples{{{1, 2, 3}}, {{1, 2, 3}}}));
    EXPECT_TRUE(refuses<PickleError>(share_list(fetch(1)), "memo entry 1 is a list"));
    EXPECT_TRUE(refuses<PickleError>(share_list(fetch(0)), "memo entry 0 is a list"));
    EXPECT_TRUE(refuses<PickleError>(share_list(fetch(3)), "memo entry 3 is a list"));
    EXPECT_TRUE(refuses<PickleError>(share_list(fetch(4)), "memo entry 4 was never stored"));
    // A share fetched from the memo, in an interval's place and in a share's place.
    EXPECT_TRUE(refuses<PickleError>(
        share_list(framed({0x5d, 0x94, 0x28, 0x5d, 0x94, 0x68, 1, 0x65, 0x2e})),
        "memo entry 1 is a list"));
    EXPECT_TRUE(refuses<PickleError>(
        share_list(framed({0x5d, 0x94, 0x28, 0x5d, 0x94, 0x65, 0x28, 0x68, 1, 0x65, 0x2e})),
        "BINGET (0x68) where a share (EMPTY_LIST) should be"));
}

TEST(ShareListPickle, RefusesOtherShapes) {
    EXPECT_TRUE(refuses<PickleError>(share_list(from_python("pts_too_big")), "out of range"));
    EXPECT_TRUE(refuses<PickleError>(share_list(from_python("pair_not_triple")),
                                     "TUPLE2 (0x86) where an interval's count (int) should be"));
    EXPECT_TRUE(refuses<PickleError>(share_list(from_python("list_not_tuple")),
                                     "EMPTY_LIST (0x5d) where APPEND after a share should be"));
    EXPECT_TRUE(refuses<PickleError>(share_list(from_python("too_deep")), "EMPTY_LIST"));
    EXPECT_TRUE(refuses<PickleError>(share_list(from_python("tuple_share")),
                                     "BININT1 (0x4b) where a share (EMPTY_LIST) should be"));
    EXPECT_TRUE(refuses<PickleError>(share_list(from_python("float_pts")), "BINFLOAT"));
    EXPECT_TRUE(
        refuses<PickleError>(share_list(from_python("int_widths")),
                             "EMPTY_DICT (0x7d) where the share list (EMPTY_LIST) should be"));
    // A tuple of four: the fourth int is no APPEND.
    EXPECT_TRUE(refuses<PickleError>(share_list(framed({0x5d, 0x5d, 0x4b, 1, 0x4b, 2, 0x4b, 3, 0x4b,
                                                        4, 0x87, 0x61, 0x61, 0x2e})),
                                     "BININT1 (0x4b) where TUPLE3 closing an interval should be"));
    // Lists nested a thousand deep are refused at the third level, not recursed into.
    Bytes deep(1000, 0x5d);
    deep.push_back(0x2e);
    EXPECT_TRUE(refuses<PickleError>(share_list(framed(deep)), "offset 13: EMPTY_LIST"));
    EXPECT_TRUE(refuses<PickleError>(share_list(framed({0x5d, 0x28, 0x5d, 0x2e})), "STOP"));
}

}  // namespace
}  // namespace lorvex
