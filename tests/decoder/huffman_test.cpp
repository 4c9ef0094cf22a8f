// The prepared code tables, and the checking path's direct-index and run
// tables and the cursor that reads with them, each against the reference.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "decoder/checkingsyntax.h"
#include "decoder/framedecoder.h"
#include "support/memorystream.h"

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
  EXPECT_EQ(dec.d->table[Sv46SampleCodeRes7][0].value, 28);  // 11111111 codes +28, the most leading ones
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

// Every run table against single direct look-ups (proven above), for every
// window: the whole words the window holds (capped), their bits, the bits
// of each shorter prefix of them, and in a two-code table the next half.
TEST(HuffmanLookup, RunTablesMatchSingleLookupsForEveryWindow) {
  const FastTables& fast = SharedFastTables();
  // Words of the codes `a`, `b` in turn from window i; escape 8 of the
  // version 7 difference code takes its 6-bit field along.
  auto expect = [&](const RunTable& t, uint32_t half, TableId a, TableId b) {
    for (uint32_t i = 0; i < (1u << kRunBits); ++i) {
      const uint64_t bits = uint64_t{i} << (64 - kRunBits);
      uint32_t used = 0, words = 0, cumulative[kRunMaxWords + 1] = {};
      while (words < kRunMaxWords) {
        const FastTable& ft = fast.table[words % 2 == 0 ? a : b];
        const FastCode c = ft.entries[static_cast<uint32_t>((bits << used) >> (64 - ft.bits))];
        const uint32_t length = c.length + (a == Sv7ScfDeltaCode && c.value == 8 ? 6 : 0);
        if (used + length > kRunBits) break;
        cumulative[++words] = used += length;
      }
      const uint32_t step = t.step[half + i];
      ASSERT_EQ(step & 15, used) << i;
      ASSERT_EQ(step >> 5, words) << i;
      ASSERT_EQ((step >> 4) & 1, a == b ? 0 : (words % 2) ^ (half != 0)) << i;
      for (uint32_t c = 1; c <= words; ++c)
        ASSERT_EQ((t.last[half + i] >> (4 * c - 4)) & 15, cumulative[c]) << i;
    }
  };
  int runTables = 0;
  for (int id = 0; id < kTableCount; ++id) {
    if (fast.run[id].step == nullptr) continue;
    ++runTables;
    SCOPED_TRACE(kCodeTables[id].name);
    expect(fast.run[id], 0, static_cast<TableId>(id), static_cast<TableId>(id));
  }
  EXPECT_EQ(runTables, 7 + 14 + 2);  // every sample code, both difference codes
  for (int a = 1; a <= 7; ++a) {
    for (int b = 1; b <= 7; ++b) {
      if (a == b) continue;
      SCOPED_TRACE(testing::Message() << "resolutions " << a << " and " << b);
      expect(fast.alternating[a][b], fast.alternatingHalf[a][b], Sv46SampleTableId(a), Sv46SampleTableId(b));
    }
  }
  // The version 7 selection run counts the difference codes its words call for.
  const FastTable& select = fast.table[Sv7ScfSelectCode];
  for (uint32_t i = 0; i < (1u << kRunBits); ++i) {
    uint32_t used = 0, words = 0, codes = 0;
    for (;;) {
      const FastCode c =
          select.entries[((i << used) >> (kRunBits - select.bits)) & ((1u << select.bits) - 1)];
      if (used + c.length > kRunBits) break;
      used += c.length, ++words, codes += kScaleFactorsOfPattern[c.value];
    }
    ASSERT_EQ(fast.sv7SelectRun[i], used | words << 5 | codes << 9) << i;
  }
}

// The checking path's cursor against the decoder's own bit reader at every
// bit position, on both sides of the ring's wrap from word 16383 to word 0:
// fields, jumps, single words, and runs of every run table.
TEST(HuffmanLookup, CursorAgreesWithTheBitReaderAtEveryBitPosition) {
  Decoder dec;
  FrameDecoder& d = *dec.d;
  const FastTables& fast = SharedFastTables();
  uint32_t seed = 12345;
  for (uint32_t& w : d.ring) w = seed = seed * 1664525u + 1013904223u;
  auto agree = [&](const std::function<void(FrameDecoder&)>& reference,
                   const std::function<void(BitCursor&)>& op) {
    for (uint32_t pos = 0; pos < 32; ++pos) {
      for (const uint32_t at : {0u, kRingMask - 1}) {
        d.SeekBit(uint64_t{at} * 32 + pos);
        reference(d);
        const uint32_t index = d.wordIndex, bits = d.BitsConsumed();
        d.SeekBit(uint64_t{at} * 32 + pos);
        CheckingReader reader(d);
        op(reader.cursor);
        reader.Finish();
        ASSERT_EQ(d.wordIndex, index) << pos;
        ASSERT_EQ(d.BitsConsumed(), bits) << pos;
        ASSERT_EQ(d.currentWord, d.ring[d.wordIndex]);
      }
    }
  };
  auto wordsInTurn = [](TableId a, TableId b, uint32_t count) {
    return [=](FrameDecoder& r) {
      for (uint32_t k = 0; k < count; ++k) r.Decode(k % 2 ? b : a);
    };
  };
  for (uint32_t n : {1u, 4u, 6u, 16u, 20u, 100u, 577u}) {  // a field, or a jump: as many one-bit reads
    const auto bits = [n](FrameDecoder& r) {
      for (uint32_t k = 0; k < n; ++k) r.ReadBits(1);
    };
    agree(bits, [n](BitCursor& c) { n <= 16 ? void(c.ReadBits(n)) : c.Skip(n); });
  }
  for (int id = 0; id < kTableCount; ++id) {
    SCOPED_TRACE(kCodeTables[id].name);
    const auto t = static_cast<TableId>(id);
    agree(wordsInTurn(t, t, 1), [&](BitCursor& c) { c.Decode(fast.table[t]); });
    if (fast.run[id].step == nullptr || id == Sv7ScfDeltaCode) continue;
    for (uint32_t count : {1u, 2u, 5u, 7u, 8u, 12u, 36u, 72u})
      agree(wordsInTurn(t, t, count), [&](BitCursor& c) { c.SkipRun(fast.run[t], fast.table[t], count); });
  }
  for (int a = 1; a <= 7; ++a) {
    for (int b = 1; b <= 7; ++b) {
      if (a == b) continue;
      for (uint32_t count : {1u, 6u, 7u, 71u, 72u}) {
        agree(wordsInTurn(Sv46SampleTableId(a), Sv46SampleTableId(b), count), [&](BitCursor& c) {
          const SampleTask task{
              {fast.alternating[a][b], {}}, {}, fast.alternatingHalf[a][b], count, 0, false, false};
          const TaskList tasks[2] = {&task, &kEndTask};
          SampleLane<true> lane{tasks};
          for (bool refill = (lane.Start(c), true); lane.More(); refill = !refill)
            refill ? lane.Step<true>(c) : lane.Step<false>(c);
        });
      }
    }
  }
}

}  // namespace
}  // namespace velkscan
