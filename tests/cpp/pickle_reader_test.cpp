#include "lorvex/core/pickle_reader.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "lorvex/core/base64.hpp"
#include "refusal.hpp"

namespace lorvex {
namespace {

using lorvex::testing::refuses;
using Bytes = std::vector<std::uint8_t>;
using Pairs = std::vector<std::pair<std::int64_t, std::int64_t>>;
using Triples = std::vector<std::vector<std::tuple<std::int64_t, std::int64_t, std::int64_t>>>;

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();

// base64.b64encode(pickle.dumps(value, protocol=5)) from CPython 3.10 (3.11 writes the same).
namespace python {
constexpr const char* kEmptyDict = "gAV9lC4=";                     // {}
constexpr const char* kOneEntry = "gAWVCAAAAAAAAAB9lEsHSwBzLg==";  // {7: 0}
// {5: 1, -3: 0, 300: 2, 70000: 3, 2**31: 4, -2**31-1: 5, 2**63-1: 6, -2**63: 7, 255: 8,
//  256: 9, 65535: 10, 65536: 11, -1: 12}
constexpr const char* kIntWidths =
    "gAWVYgAAAAAAAAB9lChLBUsBSv3///9LAE0sAUsCSnARAQBLA4oFAAAAgABLBIoF////f/9LBYoI/////////39LBoo"
    "IAAAAAAAAAIBLB0v/SwhNAAFLCU3//0sKSgAAAQBLC0r/////Swx1Lg==";
constexpr const char* kKeyTooBig = "gAWVEQAAAAAAAAB9lIoJAAAAAAAAAIAASwBzLg==";      // {2**63: 0}
constexpr const char* kValueTooSmall = "gAWVEQAAAAAAAAB9lEsAign/////////f/9zLg==";  // {0: -2**63-1}
constexpr const char* kFloatValue = "gAWVDwAAAAAAAAB9lEsBR0AEAAAAAAAAcy4=";         // {1: 2.5}
constexpr const char* kBoolValue = "gAWVBwAAAAAAAAB9lEsBiHMu";                      // {1: True}
constexpr const char* kStringKey = "gAWVCgAAAAAAAAB9lIwBYZRLAXMu";                  // {'a': 1}
constexpr const char* kNestedDict = "gAWVDQAAAAAAAAB9lEsBfZRLAksDc3Mu";             // {1: {2: 3}}
constexpr const char* kNoneValue = "gAWVBwAAAAAAAAB9lEsBTnMu";                      // {1: None}
constexpr const char* kListNotDict = "gAWVCQAAAAAAAABdlChLAUsCZS4=";                // [1, 2]
constexpr const char* kProtocol4 = "gASVCAAAAAAAAAB9lEsBSwBzLg==";  // {1: 0}, protocol 4

constexpr const char* kEmptyList = "gAVdlC4=";                      // []
constexpr const char* kOneEmptyShare = "gAWVBgAAAAAAAABdlF2UYS4=";  // [[]]
// [[(0, 100, 3)], [], [(-5, 2**40, 1), (7, 8, 9)]]
constexpr const char* kShares =
    "gAWVLwAAAAAAAABdlChdlEsAS2RLA4eUYV2UXZQoSvv///+KBgAAAAAAAUsBh5RLB0sISwmHlGVlLg==";
// t = (1, 2, 3); [[t], [t, t]]: the second and third t are BINGET 2
constexpr const char* kRepeatedTuple = "gAWVGAAAAAAAAABdlChdlEsBSwJLA4eUYV2UKGgCaAJlZS4=";
constexpr const char* kPtsTooBig =
    "gAWVGAAAAAAAAABdlF2UigkAAAAAAAAAAAFLAEsAh5RhYS4=";                     // [[(2**64, 0, 0)]]
constexpr const char* kPairNotTriple = "gAWVDQAAAAAAAABdlF2USwFLAoaUYWEu";  // [[(1, 2)]]
constexpr const char* kListNotTuple = "gAWVEQAAAAAAAABdlF2UXZQoSwFLAksDZWFhLg==";  // [[[1, 2, 3]]]
constexpr const char* kTooDeep = "gAWVEgAAAAAAAABdlF2UXZRLAUsCSwOHlGFhYS4=";  // [[[(1, 2, 3)]]]
constexpr const char* kTupleShare = "gAWVDgAAAAAAAABdlEsBSwJLA4eUhZRhLg==";   // [((1, 2, 3),)]
constexpr const char* kFloatPts =
    "gAWVFgAAAAAAAABdlF2URz/wAAAAAAAASwJLA4eUYWEu";  // [[(1.0, 2, 3)]]
}  // namespace python

Bytes from_python(const char* encoded) {
    return decode_base64(encoded);
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

// Writes what CPython's pickler writes for these two shapes, frames included (a new frame
// starts after the object that brings the current one to 64 KiB), so that large pickles can
// be made here instead of stored. Checked against CPython's own output below.
class PythonStylePickler {
  public:
    // A batch that ends full is followed by another, possibly empty (MARK SETITEMS).
    Bytes row_map(const Pairs& items) {
        start();
        write({0x7d, 0x94});
        if (items.size() == 1) {
            save_int(items[0].first);
            save_int(items[0].second);
            write({0x73});
            return finish();
        }
        std::size_t next = 0;
        std::size_t batch = 0;
        do {
            write({0x28});
            for (batch = 0; batch < kBatch && next < items.size(); ++batch, ++next) {
                save_int(items[next].first);
                save_int(items[next].second);
            }
            write({0x75});
        } while (batch == kBatch);
        return finish();
    }

    // Every tuple distinct (no memo references), several shares, each of several intervals or
    // none. List batches, unlike dict batches, never end empty.
    Bytes share_list(const Triples& shares) {
        start();
        write({0x5d, 0x94, 0x28});
        for (const auto& share : shares) {
            write({0x5d, 0x94});
            for (std::size_t next = 0; next < share.size();) {
                write({0x28});
                for (std::size_t batch = 0; batch < kBatch && next < share.size();
                     ++batch, ++next) {
                    const auto& [start_pts, end_pts, count] = share[next];
                    save_int(start_pts);
                    save_int(end_pts);
                    save_int(count);
                    write({0x87, 0x94});
                    boundary();
                }
                write({0x65});
            }
            boundary();
        }
        write({0x65});
        return finish();
    }

  private:
    static constexpr std::size_t kHeader = 9;
    static constexpr std::size_t kBatch = 1000;
    static constexpr std::size_t kNoFrame = static_cast<std::size_t>(-1);

    void start() {
        out_ = {0x80, 5};
        frame_start_ = kNoFrame;
    }

    void write(std::initializer_list<std::uint8_t> bytes) {
        if (frame_start_ == kNoFrame) {
            frame_start_ = out_.size();
            out_.resize(out_.size() + kHeader);
        }
        out_.insert(out_.end(), bytes);
    }

    void save_int(std::int64_t value) {
        if (value >= 0 && value < 256) {
            write({0x4b, static_cast<std::uint8_t>(value)});
        } else if (value >= 0 && value < 65536) {
            write({0x4d, static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)});
        } else if (value >= INT32_MIN && value <= INT32_MAX) {
            write({0x4a});
            for (int i = 0; i < 4; ++i) write({static_cast<std::uint8_t>(value >> (8 * i))});
        } else {
            // The fewest little-endian two's complement bytes that hold the value.
            std::uint8_t length = 1;
            while (length < 8 && (value >> (8 * length - 1)) != 0 &&
                   (value >> (8 * length - 1)) != -1) {
                ++length;
            }
            write({0x8a, length});
            for (int i = 0; i < length; ++i) write({static_cast<std::uint8_t>(value >> (8 * i))});
        }
        boundary();
    }

    void boundary() {
        if (frame_start_ != kNoFrame && out_.size() - frame_start_ - kHeader >= 65536) commit();
    }

    void commit() {
        const std::size_t length = out_.size() - frame_start_ - kHeader;
        if (length >= 4) {
            out_[frame_start_] = 0x95;
            for (std::size_t i = 0; i < 8; ++i) {
                out_[frame_start_ + 1 + i] = static_cast<std::uint8_t>(length >> (8 * i));
            }
        } else {
            out_.erase(out_.begin() + static_cast<std::ptrdiff_t>(frame_start_),
                       out_.begin() + static_cast<std::ptrdiff_t>(frame_start_ + kHeader));
        }
        frame_start_ = kNoFrame;
    }

    Bytes finish() {
        write({0x2e});
        commit();
        return std::move(out_);
    }

    Bytes out_;
    std::size_t frame_start_ = kNoFrame;
};

std::uint64_t fnv1a(const Bytes& bytes) {
    std::uint64_t hash = 0xcbf29ce484222325;
    for (const std::uint8_t byte : bytes) hash = (hash ^ byte) * 0x100000001b3;
    return hash;
}

std::size_t frame_count(const Bytes& bytes) {
    // Valid only for the generated pickles, whose frames follow one another.
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
    EXPECT_EQ(pairs_of(read_row_map_pickle(from_python(python::kEmptyDict))), Pairs{});
    EXPECT_EQ(pairs_of(read_row_map_pickle(from_python(python::kOneEntry))), (Pairs{{7, 0}}));
    const Pairs widths = {{5, 1},          {-3, 0},          {300, 2},       {70000, 3},
                          {2147483648, 4}, {-2147483649, 5}, {kInt64Max, 6}, {kInt64Min, 7},
                          {255, 8},        {256, 9},         {65535, 10},    {65536, 11},
                          {-1, 12}};
    EXPECT_EQ(pairs_of(read_row_map_pickle(from_python(python::kIntWidths))), widths);
}

TEST(RowMapPickle, ReadsLargeMultiFrameDictsAsCPythonWritesThem) {
    // {(i * 2654435761) % 2**40 - 2**39: i for i in range(30000)}: five frames, keys of every
    // int opcode, 30 SETITEMS batches.
    Pairs items;
    for (std::int64_t i = 0; i < 30000; ++i) {
        items.emplace_back((i * 2654435761) % (std::int64_t{1} << 40) - (std::int64_t{1} << 39), i);
    }
    const Bytes bytes = PythonStylePickler().row_map(items);
    ASSERT_EQ(bytes.size(), 299622u);  // len() and FNV-1a of CPython's pickle of that dict
    ASSERT_EQ(fnv1a(bytes), 0xf8624c9728a940deu);
    EXPECT_EQ(frame_count(bytes), 5u);
    EXPECT_EQ(pairs_of(read_row_map_pickle(bytes)), items);

    // A batch of 1000 and a batch of one; the pure-Python pickler's SETITEM for a last batch of
    // one.
    Pairs batch_and_one;
    for (std::int64_t i = 0; i < 1001; ++i) batch_and_one.emplace_back(i, 1000 - i);
    EXPECT_EQ(pairs_of(read_row_map_pickle(PythonStylePickler().row_map(batch_and_one))),
              batch_and_one);
    const Bytes setitem_last =
        framed({0x7d, 0x94, 0x28, 0x4b, 1, 0x4b, 2, 0x75, 0x4b, 3, 0x4b, 4, 0x73, 0x2e});
    EXPECT_EQ(pairs_of(read_row_map_pickle(setitem_last)), (Pairs{{1, 2}, {3, 4}}));
}

TEST(RowMapPickle, ReadsEveryIntegerWidthAndSign) {
    // Both sides of every power of two, so that each opcode and each LONG1 length, positive and
    // negative, meets its smallest and largest values.
    Pairs items;
    std::int64_t row = 0;
    for (int bits = 0; bits < 63; ++bits) {
        const std::int64_t power = std::int64_t{1} << bits;
        for (const std::int64_t value : {power - 1, power, power + 1, -power, -power - 1}) {
            items.emplace_back(value, row++);
        }
    }
    items.emplace_back(kInt64Max, row++);
    items.emplace_back(kInt64Min, row++);
    EXPECT_EQ(pairs_of(read_row_map_pickle(PythonStylePickler().row_map(items))), items);
}

TEST(RowMapPickle, RefusesIntegersOutsideInt64) {
    EXPECT_TRUE(refuses<PickleError>(row_map(from_python(python::kKeyTooBig)),
                                     "integer of 9 bytes is out of range"));
    EXPECT_TRUE(refuses<PickleError>(row_map(from_python(python::kValueTooSmall)), "out of range"));
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
        refuses<PickleError>(row_map(from_python(python::kFloatValue)),
                             "offset 15: BINFLOAT (0x47) where a row (int value) should be"));
    EXPECT_TRUE(refuses<PickleError>(row_map(from_python(python::kBoolValue)), "NEWTRUE"));
    EXPECT_TRUE(refuses<PickleError>(row_map(from_python(python::kStringKey)), "SHORT_BINUNICODE"));
    EXPECT_TRUE(refuses<PickleError>(row_map(from_python(python::kNestedDict)), "EMPTY_DICT"));
    EXPECT_TRUE(refuses<PickleError>(row_map(from_python(python::kNoneValue)), "NONE"));
    EXPECT_TRUE(refuses<PickleError>(row_map(from_python(python::kListNotDict)),
                                     "EMPTY_LIST (0x5d) where the row map (EMPTY_DICT) should be"));
    EXPECT_TRUE(refuses<PickleError>(row_map(from_python(python::kProtocol4)),
                                     "pickle protocol 4, expected 5"));
    EXPECT_TRUE(refuses<PickleError>(row_map(from_python(python::kShares)), "row map"));
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
    Bytes trailing = from_python(python::kOneEntry);
    trailing.push_back(0x2e);
    EXPECT_TRUE(refuses<PickleError>(row_map(trailing), "offset 18: 1 bytes after STOP"));

    Bytes too_long = from_python(python::kOneEntry);
    too_long[3] = 9;  // the frame claims one byte more than follows
    EXPECT_TRUE(
        refuses<PickleError>(row_map(too_long), "offset 2: FRAME of 9 bytes but only 8 follow"));
    Bytes huge = from_python(python::kOneEntry);
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
    EXPECT_EQ(triples_of(read_share_list_pickle(from_python(python::kEmptyList))), Triples{});
    EXPECT_EQ(triples_of(read_share_list_pickle(from_python(python::kOneEmptyShare))), Triples{{}});
    const Triples shares = {{{0, 100, 3}}, {}, {{-5, std::int64_t{1} << 40, 1}, {7, 8, 9}}};
    EXPECT_EQ(triples_of(read_share_list_pickle(from_python(python::kShares))), shares);
    EXPECT_EQ(triples_of(read_share_list_pickle(from_python(python::kRepeatedTuple))),
              (Triples{{{1, 2, 3}}, {{1, 2, 3}, {1, 2, 3}}}));
}

TEST(ShareListPickle, ReadsLargeMultiFrameListsAsCPythonWritesThem) {
    // [[(i*1001 - 5*10**6 + j, i*1001 + 7**20, i % 3) for i in range(4000)] for j in range(4)] +
    // [[]]
    Triples shares(5);
    for (std::int64_t j = 0; j < 4; ++j) {
        for (std::int64_t i = 0; i < 4000; ++i) {
            shares[static_cast<std::size_t>(j)].emplace_back(i * 1001 - 5000000 + j,
                                                             i * 1001 + 79792266297612001, i % 3);
        }
    }
    const Bytes bytes = PythonStylePickler().share_list(shares);
    ASSERT_EQ(bytes.size(), 304094u);  // len() and FNV-1a of CPython's pickle of that list
    ASSERT_EQ(fnv1a(bytes), 0x549d0253b775c63u);
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
    EXPECT_TRUE(refuses<PickleError>(share_list(from_python(python::kPtsTooBig)), "out of range"));
    EXPECT_TRUE(refuses<PickleError>(share_list(from_python(python::kPairNotTriple)),
                                     "TUPLE2 (0x86) where an interval's count (int) should be"));
    EXPECT_TRUE(refuses<PickleError>(share_list(from_python(python::kListNotTuple)),
                                     "EMPTY_LIST (0x5d) where APPEND after a share should be"));
    EXPECT_TRUE(refuses<PickleError>(share_list(from_python(python::kTooDeep)), "EMPTY_LIST"));
    EXPECT_TRUE(refuses<PickleError>(share_list(from_python(python::kTupleShare)),
                                     "BININT1 (0x4b) where a share (EMPTY_LIST) should be"));
    EXPECT_TRUE(refuses<PickleError>(share_list(from_python(python::kFloatPts)), "BINFLOAT"));
    EXPECT_TRUE(
        refuses<PickleError>(share_list(from_python(python::kIntWidths)),
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
