// Prepared prefix-code tables and the two ways of decoding with them.
//
// The reference lookup scans a prepared table (codes left-aligned, sorted
// largest first) for the first entry whose code is at most the look-ahead
// window. The checking path instead indexes tables derived once per process
// from the prepared ones: a FastTable decodes one word from the next `bits`
// bits; a run table measures several words at a time. The tests prove both
// identical to the reference scan for every table and every window.
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
// value order, prepared. The words are parsed and sorted once per process;
// later calls copy that result.
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

// A run of code words needs only its total length when the values do not
// steer the syntax (samples, scale-factor differences). A run table, indexed
// by the next kRunBits bits, tells how many whole words those bits hold and
// how many bits they take, so one look-up passes several words. A table of
// two codes A and B taken in turn (left and right samples) has two halves
// of 2^kRunBits entries: the first for windows that begin with a word of A,
// the second for windows that begin with a word of B.
inline constexpr uint32_t kRunBits = 11;
// At most four words per look-up: the ends of runs then fit 16 bits, and
// the smaller tables stay in the first-level cache more often (worth more
// than the rare fifth word, as is a window of 11 bits over 10 or 12).
inline constexpr uint32_t kRunMaxWords = 4;

struct RunTable {
  // One byte per window. One-code layout (the version 7 samples and the
  // scale-factor differences): bits 0-3 the bits the whole words take,
  // bits 6-7 the words less one, bits 4 and 5 clear, so that the byte
  // shifts the bit buffer as it is (a step waits on one operation less); 0
  // when the first word is longer than kRunBits. Two-code layout (the
  // version 4 to 6 samples, of one code or two): bits 0-3 the bits, bit 4 in
  // a two-code table the half of the word after them, bits 5-7 the words
  // (0 when the first word is longer than kRunBits).
  const uint8_t* step;
  // For the look-up that ends a run: four bits per word count c = 1..4, the
  // bits taken by the first c words (bits 4c-4 to 4c-1).
  const uint16_t* last;
};

// Versions 4 to 6 code the resolutions with three codes (Sv46ResCodeFor).
inline constexpr int kSv46ResCodes = 3;
// The window of their pair look-ups: the low bands' code has longer words.
inline constexpr uint32_t kSv46ResPairBits[kSv46ResCodes] = {13, 10, 10};

// The tables of the checking path. Immutable once built, so one set serves
// every decoder and thread.
struct FastTables {
  FastTable table[kTableCount];
  // Run tables of the sample codes and the scale-factor differences; the
  // escape word (+8) of Sv7ScfDeltaCode includes the 6-bit field after it.
  RunTable run[kTableCount];
  // Versions 4 to 6, left resolution a and right resolution b (1..7, a != b):
  // the two-code run table and the half where a left word begins.
  RunTable alternating[kMaxCodedResolution + 1][kMaxCodedResolution + 1];
  uint32_t alternatingHalf[kMaxCodedResolution + 1][kMaxCodedResolution + 1];  // 0 or 2^kRunBits
  // Version 7, section two: a run of selection codes, where only the number
  // of scale-factor codes they call for matters (kScaleFactorsOfPattern).
  // Entry: bits 0-4 bits taken, 5-8 whole words, 9-14 the codes they call for.
  const uint16_t* sv7SelectRun;
  // Versions 4 to 6, section two: the same for the selection words in
  // front of the first one whose scale factors are plain fields (an even
  // value), which ends a stretch of difference codes.
  const uint16_t* sv46SelectRun;
  // Version 7, section one: a band's two resolution differences in one
  // look-up of kResPairBits bits. Entry: bits 0-3 bits taken, 4-7 and 8-11
  // the left and right differences + kResPairBias; 0 when the window does not hold
  // both whole or one is the escape.
  const uint16_t* sv7ResPair;
  // Versions 4 to 6, section one: a band's two resolution indexes in one
  // look-up of kSv46ResPairBits[code] bits, by whether the mid/side bit stands between
  // them and the band's code (Sv46ResCodeA to C). Entry: bits 0-3 bits
  // taken, 4-7 and 8-11 the left and right indexes; 0 when the window does
  // not hold both whole.
  const uint16_t* sv46ResPair[2][kSv46ResCodes];
};
inline constexpr uint32_t kResPairBits = 10;
// Added to each difference in a sv7ResPair entry (the lowest is -5).
inline constexpr int32_t kResPairBias = 5;

// The whole words a step byte of the one-code layout passes.
constexpr uint32_t OneCodeStepWords(uint32_t step) {
  return step == 0 ? 0 : (step >> 6) + 1;
}

// Built on first use (thread-safe), never changed afterwards.
const FastTables& SharedFastTables();

}  // namespace velkscan
