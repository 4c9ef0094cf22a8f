#include "decoder/huffman.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
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

namespace {

// Every table parsed from its listing and prepared, once per process: a
// decoder is made per file, and small files would otherwise spend their
// time here.
struct PreparedTables {
  PreparedTables() {
    uint32_t next = 0;
    for (int id = 0; id < kTableCount; ++id) {
      const CodeTableSpec& listing = kCodeTables[id];
      first[id] = next;
      ForEachCodeWord(listing.codes, [&](CodeWord w) {
        entries[next++] = HuffmanEntry{w.code, w.length, 0};
      });
      PrepareTable(listing.count, entries.data() + first[id], listing.offset);
    }
  }
  std::array<HuffmanEntry, kTotalCodeCount> entries;
  std::array<uint32_t, kTableCount> first;
};

const PreparedTables& Prepared() {
  static const PreparedTables prepared;
  return prepared;
}

}  // namespace

void FillAndPrepareTable(TableId id, HuffmanEntry* table) {
  const PreparedTables& p = Prepared();
  std::memcpy(table, p.entries.data() + p.first[id], kCodeTables[id].count * sizeof(HuffmanEntry));
}

namespace {

// A code as the run tables see it: a word, and for one value (an escape)
// a plain field of escapeBits bits after the word.
struct Token {
  const FastTable* direct;
  int32_t escapeValue = INT32_MIN;
  uint32_t escapeBits = 0;

  // The length of the token at the top of `window`, of which only the top
  // `known` bits are stream bits (zeros below); 0 when those bits do not
  // hold it whole. A word that they do not hold whole cannot match among
  // them (it would have a prefix there), so the zeros never mislead.
  uint32_t LengthAt(uint32_t window, uint32_t known, int32_t& value) const {
    const FastCode match = direct->entries[window >> (32 - direct->bits)];
    value = match.value;
    const uint32_t length = match.length + (match.value == escapeValue ? escapeBits : 0);
    return length <= known ? length : 0;
  }
};

// The whole tokens that the kRunBits bits of window i hold (at most
// kRunMaxWords), taken from `first` and `second` in turn (the same token
// for a one-code table), starting with `first`.
struct RunWords {
  uint32_t words = 0;
  uint32_t bits[kRunMaxWords + 1] = {};  // bits taken by the first c words
};

RunWords WordsOfWindow(uint32_t i, const Token& first, const Token& second) {
  const uint32_t window = i << (32 - kRunBits);
  RunWords r;
  while (r.words < kRunMaxWords) {
    const uint32_t used = r.bits[r.words];
    int32_t value;
    const Token& t = r.words % 2 == 0 ? first : second;
    const uint32_t length = t.LengthAt(used < 32 ? window << used : 0, kRunBits - used, value);
    if (length == 0) break;
    ++r.words;
    r.bits[r.words] = used + length;
  }
  return r;
}

static_assert(kRunBits <= 15 && kRunMaxWords <= 4,
              "run entries hold bit counts in four bits, the ends of runs in sixteen");

// Fills a pair table of 2^bits windows: two words of `res` with `gap` bits
// between them (a mid/side bit), each value + bias in an entry (bits 0-3
// the bits taken, 4-7 and 8-11 the two values); 0 where the window does not
// hold both whole or either is `reject` (an escape, followed by a field).
void FillPairTable(uint16_t* pairs, const Token& res, uint32_t bits, uint32_t gap, int32_t bias,
                   int32_t reject) {
  for (uint32_t i = 0; i < (1u << bits); ++i) {
    const uint32_t window = i << (32 - bits);
    int32_t left, right;
    const uint32_t l = res.LengthAt(window, bits, left);
    const uint32_t at = l + gap;
    const uint32_t r = l == 0 || at >= bits ? 0 : res.LengthAt(window << at, bits - at, right);
    if (r == 0 || left == reject || right == reject) continue;
    pairs[i] = static_cast<uint16_t>((at + r) | (left + bias) << 4 | (right + bias) << 8);
  }
}

// Fills one half (2^kRunBits windows) of a run table. `flip` is the half
// (0 or 1) that the window's first word belongs to, in a two-code table.
// The version 4 to 6 sample codes keep the two-code layout of the step
// bytes (the lanes of those versions take both kinds of table).
void FillRunHalf(uint8_t* step, uint16_t* last, const Token& first, const Token& second, uint32_t flip,
                 bool twoCodeLayout) {
  const bool twoCodes = &first != &second;
  for (uint32_t i = 0; i < (1u << kRunBits); ++i) {
    const RunWords r = WordsOfWindow(i, first, second);
    const uint32_t nextHalf = twoCodes ? (r.words % 2) ^ flip : 0;
    step[i] = static_cast<uint8_t>(twoCodeLayout  ? r.bits[r.words] | nextHalf << 4 | r.words << 5
                                   : r.words == 0 ? 0
                                                  : r.bits[r.words] | (r.words - 1) << 6);
    uint32_t packed = 0;
    for (uint32_t c = 1; c <= r.words; ++c) packed |= r.bits[c] << (4 * c - 4);
    last[i] = static_cast<uint16_t>(packed);
  }
}

class FastTableSet {
 public:
  FastTableSet() {
    // Direct tables: each word fills the windows it begins, its value the
    // fill index less the offset.
    size_t total = 0;
    for (const auto& listing : kCodeTables) total += size_t{1} << LongestCode(listing.codes);
    storage_.resize(total);
    FastCode* next = storage_.data();
    for (int id = 0; id < kTableCount; ++id) {
      const CodeTableSpec& listing = kCodeTables[id];
      const uint32_t bits = LongestCode(listing.codes);
      int32_t value = -listing.offset;
      ForEachCodeWord(listing.codes, [&](CodeWord w) {
        const uint32_t first = w.code << (bits - w.length), count = 1u << (bits - w.length);
        std::fill(next + first, next + first + count,
                  FastCode{static_cast<int8_t>(value++), static_cast<uint8_t>(w.length)});
      });
      tables_.table[id] = FastTable{next, bits};
      next += size_t{1} << bits;
    }
    auto direct = [this](int id) { return &tables_.table[id]; };

    constexpr size_t kEntries = size_t{1} << kRunBits;
    // Run tables: the 21 sample codes and both scale-factor difference
    // codes; two-code tables for the 21 pairs of version 4-to-6 sample
    // codes; then the version 7 selection run.
    std::vector<int> runIds = {Sv46ScfDeltaCode, Sv7ScfDeltaCode};
    for (int id = Sv46SampleCodeRes1; id <= Sv46SampleCodeRes7; ++id) runIds.push_back(id);
    for (int id = Sv7SampleCodeSet0Res1; id < kTableCount; ++id) runIds.push_back(id);
    constexpr size_t kPairs = kMaxCodedResolution * (kMaxCodedResolution - 1) / 2;
    const size_t halves = runIds.size() + 2 * kPairs;
    stepStorage_.resize(halves * kEntries);
    lastStorage_.resize(halves * kEntries);
    uint8_t* step = stepStorage_.data();
    uint16_t* last = lastStorage_.data();
    for (int id : runIds) {
      Token t{direct(id)};
      if (id == Sv7ScfDeltaCode)
        t = Token{direct(id), kSv7ScfEscape, kScfIndexBits};  // a plain index follows
      FillRunHalf(step, last, t, t, 0, id >= Sv46SampleCodeRes1 && id <= Sv46SampleCodeRes7);
      tables_.run[id] = RunTable{step, last};
      step += kEntries;
      last += kEntries;
    }
    for (int a = 1; a <= kMaxCodedResolution; ++a) {
      for (int b = a + 1; b <= kMaxCodedResolution; ++b) {
        const Token ta{direct(Sv46SampleTableId(a))}, tb{direct(Sv46SampleTableId(b))};
        FillRunHalf(step, last, ta, tb, 0, true);
        FillRunHalf(step + kEntries, last + kEntries, tb, ta, 1, true);
        tables_.alternating[a][b] = tables_.alternating[b][a] = RunTable{step, last};
        tables_.alternatingHalf[a][b] = 0;
        tables_.alternatingHalf[b][a] = kEntries;
        step += 2 * kEntries;
        last += 2 * kEntries;
      }
    }

    // The selection runs: version 7 takes every whole word; versions 4 to 6
    // stop before a word with plain fields (its value's low bit clear).
    selectStorage_.resize(2 * kEntries);
    auto fillSelectRun = [&](uint16_t* run, const Token& select, bool stopAtPlain) {
      for (uint32_t i = 0; i < kEntries; ++i) {
        const uint32_t window = i << (32 - kRunBits);
        uint32_t used = 0, words = 0, codes = 0;
        for (;;) {
          int32_t v;
          const uint32_t length = select.LengthAt(used < 32 ? window << used : 0, kRunBits - used, v);
          if (length == 0 || (stopAtPlain && (v & 1) == 0)) break;
          used += length;
          ++words;
          codes += kScaleFactorsOfPattern[stopAtPlain ? v >> 1 : v];
        }
        run[i] = static_cast<uint16_t>(used | words << 5 | codes << 9);
      }
    };
    fillSelectRun(selectStorage_.data(), Token{direct(Sv7ScfSelectCode)}, false);
    fillSelectRun(selectStorage_.data() + kEntries, Token{direct(Sv46ScfSelectCode)}, true);
    tables_.sv7SelectRun = selectStorage_.data();
    tables_.sv46SelectRun = selectStorage_.data() + kEntries;

    pairStorage_.resize(size_t{1} << kResPairBits);
    FillPairTable(pairStorage_.data(), Token{direct(Sv7ResDeltaCode)}, kResPairBits, 0, kResPairBias,
                  kSv7ResEscape);
    tables_.sv7ResPair = pairStorage_.data();

    size_t pairEntries = 0;
    for (const uint32_t bits : kSv46ResPairBits) pairEntries += size_t{2} << bits;
    sv46PairStorage_.resize(pairEntries);
    uint16_t* pairs = sv46PairStorage_.data();
    for (uint32_t midSide = 0; midSide < 2; ++midSide) {
      for (int code = 0; code < kSv46ResCodes; ++code) {
        const uint32_t bits = kSv46ResPairBits[code];
        FillPairTable(pairs, Token{direct(Sv46ResCodeA + code)}, bits, midSide, 0, INT32_MIN);
        tables_.sv46ResPair[midSide][code] = pairs;
        pairs += size_t{1} << bits;
      }
    }
  }
  const FastTables& tables() const { return tables_; }

 private:
  std::vector<FastCode> storage_;
  std::vector<uint8_t> stepStorage_;
  std::vector<uint16_t> lastStorage_;
  std::vector<uint16_t> selectStorage_;
  std::vector<uint16_t> pairStorage_;
  std::vector<uint16_t> sv46PairStorage_;
  FastTables tables_{};
};

}  // namespace

const FastTables& SharedFastTables() {
  static const FastTableSet set;
  return set.tables();
}

}  // namespace velkscan
