#include "decoder/huffman.h"

#include <algorithm>
#include <array>
#include <vector>

namespace velkscan {

void PrepareTable(uint32_t count, HuffmanEntry* table, int32_t offset) {
  for (uint32_t i = 0; i < count; ++i) {
    table[i].code <<= 32 - table[i].length;
    table[i].value = static_cast<int32_t>(i) - offset;
  }
  // Left-aligned words of a prefix code are all different, so the order is
  // fully determined.
  std::sort(table, table + count,
            [](const HuffmanEntry& a, const HuffmanEntry& b) { return a.code > b.code; });
}

void FillAndPrepareTable(TableId id, HuffmanEntry* table) {
  const CodeTableSpec& listing = kCodeTables[id];
  uint32_t i = 0;
  ForEachCodeWord(listing.codes, [&](CodeWord w) { table[i++] = HuffmanEntry{w.code, w.length, 0}; });
  PrepareTable(listing.count, table, listing.offset);
}

namespace {

// The direct-index tables and the storage behind them. Entry i of a table is
// what the reference scan matches for the window whose top `bits` bits are i:
// the table's longest code has `bits` bits, so nothing below them can change
// the match.
class FastTableSet {
 public:
  FastTableSet() {
    size_t total = 0;
    for (const auto& listing : kCodeTables) total += size_t{1} << LongestCode(listing.codes);
    storage_.resize(total);
    runStorage_.resize(size_t{kTableCount} << kRunBits);

    FastCode* next = storage_.data();
    std::array<HuffmanEntry, 64> prepared{};
    for (int id = 0; id < kTableCount; ++id) {
      FillAndPrepareTable(static_cast<TableId>(id), prepared.data());
      const uint32_t bits = LongestCode(kCodeTables[id].codes);
      for (uint32_t i = 0; i < (1u << bits); ++i) {
        const HuffmanEntry& match = MatchLinear(prepared.data(), i << (32 - bits));
        next[i] = FastCode{static_cast<int8_t>(match.value), static_cast<uint8_t>(match.length)};
      }
      tables_.table[id] = FastTable{next, bits};
      next += size_t{1} << bits;
      if (id >= Sv46SampleCodeRes1 && id <= Sv46SampleCodeRes7) BuildRunTable(id, prepared.data());
      if (id >= Sv7SampleCodeSet0Res1) BuildRunTable(id, prepared.data());
    }
  }
  const FastTables& tables() const { return tables_; }

 private:
  // Words are matched one after another in the known bits; a word that the
  // known bits do not hold whole cannot match (it would have a prefix among
  // them), so the scan stops there.
  void BuildRunTable(int id, const HuffmanEntry* prepared) {
    RunCode* run = runStorage_.data() + (size_t{static_cast<unsigned>(id)} << kRunBits);
    for (uint32_t i = 0; i < (1u << kRunBits); ++i) {
      const uint32_t window = i << (32 - kRunBits);
      uint32_t used = 0, words = 0;
      for (;;) {
        const HuffmanEntry& match = MatchLinear(prepared, used < 32 ? window << used : 0);
        if (match.length > kRunBits - used) break;
        used += match.length;
        ++words;
      }
      run[i] = RunCode{static_cast<uint8_t>(words), static_cast<uint8_t>(used)};
    }
    tables_.run[id] = run;
  }

  std::vector<FastCode> storage_;
  std::vector<RunCode> runStorage_;
  FastTables tables_{};
};

}  // namespace

const FastTables& SharedFastTables() {
  static const FastTableSet set;
  return set.tables();
}

}  // namespace velkscan
