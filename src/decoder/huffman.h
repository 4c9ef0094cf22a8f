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

// The direct-index tables of all 29 codes. Immutable once built, so one set
// serves every decoder on every thread.
struct FastTables {
  FastTable table[kTableCount];
};

// Built on first use (thread-safe), never changed afterwards.
const FastTables& SharedFastTables();

}  // namespace velkscan
