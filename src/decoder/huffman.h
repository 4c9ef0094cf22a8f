// Prepared prefix-code tables and the two ways of decoding with them.
//
// The reference lookup scans a prepared table (codes left-aligned, sorted
// largest first) for the first entry whose code is at most the look-ahead
// window. The checking path instead indexes a FastTable, derived once from
// the prepared tables, by the next `bits` bits of the stream; the two are
// proven identical for every table and every window by the tests.
#pragma once

#include <cstdint>

#include "decoder/codetables.h"

namespace velkscan {

struct HuffmanEntry {
  uint32_t code;    // left-aligned after preparation
  uint32_t length;  // bits
  int32_t value;    // fill index - offset
};

// Left-aligns every code, sets every value, sorts by code, largest first.
void PrepareTable(uint32_t count, HuffmanEntry* table, int32_t offset);

// Fills `table` (kCodeTables[id].count entries) with the listed words in
// value order, then prepares it.
void FillAndPrepareTable(TableId id, HuffmanEntry* table);

// The reference match: the first entry whose code is at most the window.
// The table must be a prepared complete prefix code, so the scan always ends
// at or before the all-zero code word.
inline const HuffmanEntry& MatchLinear(const HuffmanEntry* table, uint32_t window) {
  while (window < table->code) ++table;
  return *table;
}

struct FastCode {
  int8_t value;
  uint8_t length;
};

struct FastTable {
  const FastCode* entries;  // 2^bits entries
  uint32_t bits;            // the table's longest code length
};

// Runs of codes from one table (36 samples of a subband) need only their
// total length on the checking path. A RunTable, indexed by the next
// kRunBits bits, gives how many whole code words those bits hold and how
// many bits they take; 0 words when the first word is longer than that.
inline constexpr uint32_t kRunBits = 12;

struct RunCode {
  uint8_t words;
  uint8_t bits;
};

// The direct-index tables of all 29 codes, and run tables for the sample
// codes. Immutable once built, so one set serves every decoder and thread.
struct FastTables {
  FastTable table[kTableCount];
  const RunCode* run[kTableCount];  // 2^kRunBits entries; null where unused
};

// Built on first use (thread-safe), never changed afterwards.
const FastTables& SharedFastTables();

}  // namespace velkscan
