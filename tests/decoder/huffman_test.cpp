// The checking path's direct-index tables and its cursor, each against the reference.
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

// The direct-index lookup of every table must match the reference scan for every window: every combination of
// the table's look-ahead bits, at every bit position of the current word, with the following word's bits.
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
      ASSERT_TRUE(got.value == ref.value && got.length == ref.length) << "window " << top;
      // Bits below the look-ahead never change the reference's match.
      ASSERT_EQ(&MatchLinear(t, window | (0xFFFFFFFFu >> depth)), &ref);
    }
  }
}

// The one-look-up tables of sections 1 and 2 against the linear scan for every window: a band's pair of
// resolution words (versions 4 to 6 with the mid/side bit between them, version 7 without its escape), and a
// run of selection words (versions 4 to 6 up to the first one with plain fields).
TEST(HuffmanLookup, PairAndSelectionTablesMatchTheLinearScanForEveryWindow) {
  const FastTables& fast = SharedFastTables();
  Decoder dec;
  const struct {
    const uint16_t* table;
    TableId id;
    uint32_t gap;  // bits between the two words of a pair
  } pairs[] = {{fast.sv7ResPair, Sv7ResDeltaCode, 0},     {fast.sv46ResPair[0][0], Sv46ResCodeA, 0},
               {fast.sv46ResPair[0][1], Sv46ResCodeB, 0}, {fast.sv46ResPair[0][2], Sv46ResCodeC, 0},
               {fast.sv46ResPair[1][0], Sv46ResCodeA, 1}, {fast.sv46ResPair[1][1], Sv46ResCodeB, 1},
               {fast.sv46ResPair[1][2], Sv46ResCodeC, 1}};
  for (const auto& p : pairs) {
    SCOPED_TRACE(kCodeTables[p.id].name);
    const bool v7 = p.id == Sv7ResDeltaCode;
    const uint32_t bits = v7 ? kResPairBits : kSv46ResPairBits[p.id - Sv46ResCodeA];
    for (uint32_t i = 0; i < (1u << bits); ++i) {
      const uint32_t window = i << (32 - bits);
      const HuffmanEntry& a = MatchLinear(dec.d->table[p.id], window);
      const uint32_t at = a.length + p.gap;
      const HuffmanEntry& b = MatchLinear(dec.d->table[p.id], at < 32 ? window << at : 0);
      const int32_t bias = v7 ? kResPairBias : 0;
      const bool whole =
          at + b.length <= bits && !(v7 && (a.value == kSv7ResEscape || b.value == kSv7ResEscape));
      const uint32_t expected = whole ? (at + b.length) | (a.value + bias) << 4 | (b.value + bias) << 8 : 0;
      ASSERT_EQ(p.table[i], expected) << "window " << i;
    }
  }
  for (const bool v7 : {true, false}) {
    const TableId id = v7 ? Sv7ScfSelectCode : Sv46ScfSelectCode;
    for (uint32_t i = 0; i < (1u << kRunBits); ++i) {
      const uint32_t window = i << (32 - kRunBits);
      uint32_t used = 0, words = 0, codes = 0;
      for (;; ++words) {
        const HuffmanEntry& w = MatchLinear(dec.d->table[id], used < 32 ? window << used : 0);
        if (used + w.length > kRunBits || (!v7 && w.value % 2 == 0)) break;
        used += w.length;
        codes += kScaleFactorsOfPattern[v7 ? w.value : w.value / 2];
      }
      ASSERT_EQ((v7 ? fast.sv7SelectRun : fast.sv46SelectRun)[i], used | words << 5 | codes << 9) << i;
    }
  }
}

// The checking path's cursor against the decoder's own bit reader at every bit position, on both sides of the
// ring's wrap from word 16383 to word 0: fields, jumps, single words, and runs of every run table.
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
        ASSERT_TRUE(d.wordIndex == index && d.BitsConsumed() == bits && d.currentWord == d.ring[index])
            << pos;
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
    // Version 4 to 6 sample codes: through a lane, below.
    if (fast.run[id].step == nullptr || id == Sv7ScfDeltaCode ||
        (id >= Sv46SampleCodeRes1 && id <= Sv46SampleCodeRes7))
      continue;
    for (uint32_t count : {1u, 2u, 5u, 7u, 8u, 12u, 36u, 72u})
      agree(wordsInTurn(t, t, count), [&](BitCursor& c) { c.SkipRun(fast.run[t], fast.table[t], count); });
  }
  for (int a = 1; a <= 7; ++a) {  // a lane of one code (a == b) or of two in turn
    for (int b = 1; b <= 7; ++b) {
      for (uint32_t count : {1u, 6u, 7u, 71u, 72u}) {
        agree(wordsInTurn(Sv46SampleTableId(a), Sv46SampleTableId(b), count), [&](BitCursor& c) {
          const RunTable run = a == b ? fast.run[Sv46SampleTableId(a)] : fast.alternating[a][b];
          const SampleTask task{{run, {}},
                                {&fast.table[Sv46SampleTableId(a)], nullptr},
                                a == b ? 0 : fast.alternatingHalf[a][b],
                                count,
                                0,
                                false};
          const TaskList tasks[2] = {&task, &kEndTask};
          SampleLane<true> lane{tasks};
          d.RepeatRingStart();
          if (lane.Begin(c)) lane.Finish(c);
        });
      }
    }
  }
}

}  // namespace
}  // namespace velkscan
