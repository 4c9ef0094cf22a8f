// The prepared code tables, the reference lookups and the direct-index
// lookups of the checking path.
#include <gtest/gtest.h>

#include <memory>

#include "decoder/framedecoder.h"
#include "decoder/framesyntax.h"
#include "stream/memorystream.h"
#include "support/bitwriter.h"

namespace velkscan {
namespace {

struct Decoder {
  explicit Decoder(const std::vector<uint8_t>& bytes = {})
      : stream(bytes), d(std::make_unique<FrameDecoder>(stream)) {
    // Lay the bytes into the ring as SeekFirstFrame would, from word 0.
    d->ResetDecoder();
    for (size_t i = 0; i < bytes.size() && i / 4 < kRingWords; ++i)
      d->ring[i / 4] |= uint32_t{bytes[i]} << (8 * (i % 4));
    d->currentWord = d->ring[0];
  }
  MemoryStream stream;
  std::unique_ptr<FrameDecoder> d;
};

TEST(CodeTables, PreparedTablesAreSortedWithTheAllZeroWordLast) {
  Decoder dec;
  for (int id = 0; id < kTableCount; ++id) {
    SCOPED_TRACE(kCodeTables[id].name);
    const HuffmanEntry* t = dec.d->table[id];
    const uint32_t count = kCodeTables[id].count;
    for (uint32_t i = 1; i < count; ++i) EXPECT_GT(t[i - 1].code, t[i].code);
    EXPECT_EQ(t[count - 1].code, 0u);
    // Every value of the table appears once.
    std::vector<int> seen(count, 0);
    for (uint32_t i = 0; i < count; ++i) ++seen.at(t[i].value + kCodeTables[id].offset);
    for (int s : seen) EXPECT_EQ(s, 1);
  }
  // The first entry holds the word with the most leading ones.
  EXPECT_EQ(dec.d->table[Sv46ResCodeA][0].code, 0x80000000u);
  EXPECT_EQ(dec.d->table[Sv46ResCodeA][0].length, 1u);
  EXPECT_EQ(dec.d->table[Sv46SampleCodeRes7][0].code, 0xFF000000u);
  EXPECT_EQ(dec.d->table[Sv46SampleCodeRes7][0].value, 28);  // 11111111 codes +28
}

TEST(CodeTables, SampleSlotsPointAtTheirTables) {
  Decoder dec;
  const FrameDecoder& d = *dec.d;
  EXPECT_EQ(d.Sv46SampleTables[0], nullptr);
  for (int r = 8; r <= 17; ++r) EXPECT_EQ(d.Sv46SampleTables[r], nullptr);
  for (int r = 1; r <= 7; ++r) EXPECT_EQ(d.Sv46SampleTables[r], d.table[Sv46SampleCodeRes1 + r - 1]);
  for (int set = 0; set < 2; ++set) {
    EXPECT_EQ(d.Sv7SampleTables[set][0], nullptr);
    for (int r = 1; r <= 7; ++r)
      EXPECT_EQ(d.Sv7SampleTables[set][r], d.table[Sv7SampleCodeSet0Res1 + 2 * (r - 1) + set]);
  }
}

// Decodes `bits` (padded with zeros) at bitPos `start` with the lookup of
// the given depth; returns (value, bits consumed).
std::pair<int32_t, uint32_t> DecodeAt(TableId id, std::string_view bits, uint32_t start, uint32_t depth) {
  test::BitWriter w;
  w.Put(0, start).Code(bits).Put(0, 64);
  Decoder dec(w.Bytes());
  FrameDecoder& d = *dec.d;
  d.SkipBits(start);
  const uint32_t before = d.BitsConsumed();
  const HuffmanEntry* t = d.table[id];
  const int32_t v = depth == 14   ? d.DecodeHuffman14(t)
                    : depth == 10 ? d.DecodeHuffman10(t)
                                  : d.DecodeHuffman5(t);
  return {v, d.BitsConsumed() - before};
}

TEST(HuffmanLookup, WorkedExamples) {
  EXPECT_EQ(DecodeAt(Sv46ResCodeA, "1", 0, 14), std::make_pair(1, 1u));
  EXPECT_EQ(DecodeAt(Sv46ResCodeA, "010", 0, 14), std::make_pair(0, 3u));
  EXPECT_EQ(DecodeAt(Sv46ResCodeA, "00", 0, 14), std::make_pair(2, 2u));
  EXPECT_EQ(DecodeAt(Sv7ResDeltaCode, "", 0, 10), std::make_pair(-1, 2u));  // all-zero window
  EXPECT_EQ(DecodeAt(Sv7ResDeltaCode, "010111010", 0, 10), std::make_pair(4, 9u));
  EXPECT_EQ(DecodeAt(Sv7ScfDeltaCode, "1100", 0, 10), std::make_pair(8, 4u));
}

TEST(HuffmanLookup, SplitSixGivesPatternAndFlag) {
  const std::pair<const char*, std::pair<int32_t, int32_t>> cases[] = {
      {"1", {3, 1}}, {"01", {1, 1}}, {"000", {2, 1}}, {"00100", {2, 0}}, {"001011", {0, 0}}};
  for (const auto& [bits, expected] : cases) {
    test::BitWriter w;
    w.Code(bits).Put(0, 64);
    Decoder dec(w.Bytes());
    int32_t pattern = -1, flag = -1;
    dec.d->DecodeHuffmanSplit6(dec.d->table[Sv46ScfSelectCode], pattern, flag);
    EXPECT_EQ(std::make_pair(pattern, flag), expected) << bits;
  }
}

TEST(HuffmanLookup, FourteenBitWordStraddlingAWordBoundary) {
  for (uint32_t start = 19; start < 32; ++start) {
    SCOPED_TRACE(start);
    test::BitWriter w;
    w.Put(0, start).Code("01110000000001").Put(0, 64);
    Decoder dec(w.Bytes());
    FrameDecoder& d = *dec.d;
    d.SkipBits(start);
    EXPECT_EQ(d.DecodeHuffman14(d.table[Sv46ResCodeA]), 14);
    EXPECT_EQ(d.wordIndex, 1u);
    EXPECT_EQ(d.bitPos, start + 14 - 32);
  }
}

TEST(HuffmanLookup, WordEndingExactlyAtTheWordEndStepsToTheNextWord) {
  test::BitWriter w;
  w.Put(0, 29).Code("010").Put(0, 64);  // value 0 of Sv46ResCodeA ends on bit 0
  Decoder dec(w.Bytes());
  FrameDecoder& d = *dec.d;
  d.SkipBits(29);
  EXPECT_EQ(d.DecodeHuffman14(d.table[Sv46ResCodeA]), 0);
  EXPECT_EQ(d.bitPos, 0u);
  EXPECT_EQ(d.wordIndex, 1u);
  EXPECT_EQ(d.wordsConsumed, 1u);
}

// The direct-index lookup of every table must match the reference scan for
// every window: every combination of the table's look-ahead bits, at every
// bit position of the current word, with the following word's bits.
TEST(HuffmanLookup, DirectIndexMatchesTheLinearScanForEveryWindow) {
  const FastTables& fast = SharedFastTables();
  Decoder dec;
  for (int id = 0; id < kTableCount; ++id) {
    SCOPED_TRACE(kCodeTables[id].name);
    const uint32_t depth = kCodeTables[id].depth;
    const FastTable& ft = fast.table[id];
    ASSERT_LE(ft.bits, depth);
    const HuffmanEntry* t = dec.d->table[id];
    for (uint32_t top = 0; top < (1u << depth); ++top) {
      // The reference's window: the d look-ahead bits followed by zeros.
      const uint32_t window = top << (32 - depth);
      const HuffmanEntry& ref = MatchLinear(t, window);
      const FastCode& got = ft.entries[window >> (32 - ft.bits)];
      ASSERT_EQ(got.value, ref.value) << "window " << top;
      ASSERT_EQ(got.length, ref.length) << "window " << top;
      // Bits below the look-ahead never change the reference's match.
      ASSERT_EQ(&MatchLinear(t, window | (0xFFFFFFFFu >> depth)), &ref);
    }
  }
}

// A run table entry is what single direct lookups find in its bits: as many
// whole words as the run bits hold, whatever bits follow them.
TEST(HuffmanLookup, RunTablesMatchSingleLookups) {
  const FastTables& fast = SharedFastTables();
  int tablesWithRuns = 0;
  for (int id = 0; id < kTableCount; ++id) {
    if (fast.run[id] == nullptr) continue;
    ++tablesWithRuns;
    SCOPED_TRACE(kCodeTables[id].name);
    const FastTable& ft = fast.table[id];
    for (uint32_t i = 0; i < (1u << kRunBits); ++i) {
      for (uint32_t below : {0u, 0xFFFFFu, 0x5A5A5u}) {
        const uint64_t bits = (uint64_t{i} << 52) | (uint64_t{below} << 32);
        uint32_t used = 0, words = 0;
        for (;;) {
          const FastCode c = ft.entries[static_cast<uint32_t>((bits << used) >> (64 - ft.bits))];
          if (used + c.length > kRunBits) break;
          used += c.length;
          ++words;
        }
        ASSERT_EQ(fast.run[id][i].words, words) << i;
        ASSERT_EQ(fast.run[id][i].bits, used) << i;
      }
    }
  }
  EXPECT_EQ(tablesWithRuns, 7 + 14);  // every sample table
}

// Through the decoder: both lookups consume the same bits and return the
// same value at every bit position, including across the word boundary and
// across the ring's wrap from word 16383 to word 0.
TEST(HuffmanLookup, BothLookupsAgreeInTheDecoderAtEveryBitPosition) {
  Decoder dec;
  FrameDecoder& d = *dec.d;
  uint32_t seed = 12345;
  auto rnd = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  for (int id = 0; id < kTableCount; ++id) {
    SCOPED_TRACE(kCodeTables[id].name);
    for (uint32_t pos = 0; pos < 32; ++pos) {
      for (int trial = 0; trial < 64; ++trial) {
        for (uint32_t wi : {0u, 1u, kRingMask}) d.ring[wi] = rnd();
        for (const uint32_t at : {0u, kRingMask}) {
          d.wordIndex = at;
          d.currentWord = d.ring[at];
          d.bitPos = pos;
          d.wordsConsumed = 0;
          const int32_t ref = ReferenceReader(d).Decode(static_cast<TableId>(id));
          const uint32_t refIndex = d.wordIndex, refPos = d.bitPos;
          d.wordIndex = at;
          d.currentWord = d.ring[at];
          d.bitPos = pos;
          CheckingReader reader(d);
          const int32_t got = reader.Decode(static_cast<TableId>(id));
          reader.Finish();
          ASSERT_EQ(got, ref);
          ASSERT_EQ(d.wordIndex, refIndex);
          ASSERT_EQ(d.bitPos, refPos);
        }
      }
    }
  }
}

}  // namespace
}  // namespace velkscan
