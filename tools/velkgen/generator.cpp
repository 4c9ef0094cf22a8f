#include "velkgen/generator.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "decoder/codetables.h"
#include "velkgen/bitwriter.h"

namespace velkscan::gen {

namespace {

// ---------------------------------------------------------------------------
// Randomness: xoshiro256** seeded through SplitMix64. Fixed algorithms and
// our own bounded helpers, so a seed means the same bytes everywhere.

uint64_t SplitMix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

class Rng {
 public:
  explicit Rng(uint64_t seed) {
    for (auto& s : s_) s = SplitMix64(seed);
  }

  uint64_t Next() {
    const uint64_t result = Rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = Rotl(s_[3], 45);
    return result;
  }

  // Uniform in 0..n-1 (n > 0).
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(((Next() >> 32) * n) >> 32); }
  // Uniform in lo..hi.
  int Range(int lo, int hi) { return lo + static_cast<int>(Below(static_cast<uint32_t>(hi - lo + 1))); }
  bool OneIn(uint32_t n) { return Below(n) == 0; }
  // n uniform random bits, 0..32.
  uint32_t Bits(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(Next() >> (64 - n)); }

 private:
  static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t s_[4];
};

// ---------------------------------------------------------------------------
// Code tables for encoding: the listed words by value, and for each table a
// window map that draws values with the probabilities the code was built for
// (value v with probability 2^-length): L random bits decode to the word
// that prefixes them.

struct Code {
  uint32_t bits;
  uint32_t length;
};

struct EncodeTable {
  std::vector<Code> codes;  // by fill index (value + offset)
  int32_t offset = 0;
  uint32_t longest = 0;
  std::vector<uint8_t> indexOfWindow;  // 2^longest entries
};

const std::vector<EncodeTable>& EncodeTables() {
  static const std::vector<EncodeTable> tables = [] {
    std::vector<EncodeTable> all(kTableCount);
    for (int id = 0; id < kTableCount; ++id) {
      EncodeTable& t = all[id];
      t.offset = kCodeTables[id].offset;
      ForEachCodeWord(kCodeTables[id].codes, [&](CodeWord w) {
        t.codes.push_back({w.code, w.length});
        t.longest = std::max(t.longest, w.length);
      });
      t.indexOfWindow.resize(size_t{1} << t.longest);
      for (size_t i = 0; i < t.codes.size(); ++i) {
        const uint32_t shift = t.longest - t.codes[i].length;
        const uint32_t first = t.codes[i].bits << shift;
        const uint32_t last = first + (1u << shift);
        for (uint32_t w = first; w < last; ++w) t.indexOfWindow[w] = static_cast<uint8_t>(i);
      }
    }
    return all;
  }();
  return tables;
}

// ---------------------------------------------------------------------------
// The frame encoder: one per stream, carrying what the decoder carries
// (scale-factor references) so music-like indexes stay plausible.

constexpr int kBands = 32;
constexpr int kSamples = 36;
constexpr int kMinResolution = -17, kMaxResolution = 17;

bool InRange(int r) {
  return r >= kMinResolution && r <= kMaxResolution;
}

class FrameEncoder {
 public:
  FrameEncoder(const StreamOptions& options, const HeaderValues& header, uint64_t seed, BitWriter& out,
               Coverage& coverage)
      : exhaustive_(options.profile == Profile::Exhaustive),
        earlyEnd_(options.earlyEndFrames),
        midSide_(header.midSide),
        maxBand_(static_cast<int>(header.maxBand)),
        rng_(seed),
        out_(out),
        cov_(coverage),
        tables_(EncodeTables()) {}

  void EncodeSv7Frame();
  void EncodeSv46Frame();

 private:
  void Write(TableId id, int value) {
    const EncodeTable& t = tables_[id];
    const Code& c = t.codes[static_cast<size_t>(value + t.offset)];
    out_.Put(c.bits, c.length);
  }
  // A value drawn with the code's own probabilities.
  int Natural(TableId id) {
    const EncodeTable& t = tables_[id];
    return static_cast<int>(t.indexOfWindow[rng_.Bits(t.longest)]) - t.offset;
  }
  // A value drawn uniformly over the table.
  int Uniform(TableId id) {
    const EncodeTable& t = tables_[id];
    return static_cast<int>(rng_.Below(static_cast<uint32_t>(t.codes.size()))) - t.offset;
  }
  int Draw(TableId id, bool uniform) { return uniform ? Uniform(id) : Natural(id); }

  // Music-like resolution targets for one frame, both channels.
  void MusicTargets(int* left, int* right, int highest);

  // Version 7.
  struct ChannelPlan {
    int driveFrom = -1;  // band where the chain is driven out of -17..17
    bool up = true;
  };
  int ChooseSv7Resolution(int n, int prev, int target, bool zeroTail, const ChannelPlan& plan);
  void WriteSv7Resolution(int prev, int value, bool forceEscape);
  int NextScf(int from);
  bool WriteSv7Samples(int res);

  // Versions 4 to 6.
  void WriteSv46Scf(int pattern, int flag, int& ref);

  bool exhaustive_;
  bool earlyEnd_;
  bool midSide_;
  int maxBand_;
  Rng rng_;
  BitWriter& out_;
  Coverage& cov_;
  const std::vector<EncodeTable>& tables_;
  int scfRef_[2][kBands] = {};
};

void FrameEncoder::MusicTargets(int* left, int* right, int highest) {
  const int base = rng_.Range(4, 7);
  const int cutoff = std::min(maxBand_, rng_.Range(18, 31));
  for (int n = 0; n <= maxBand_; ++n) {
    int t;
    if (n <= cutoff) {
      t = std::clamp(base - n / 4 + rng_.Range(-1, 1), 1, highest);
    } else {
      t = rng_.OneIn(3) ? 1 : 0;
    }
    left[n] = t;
    right[n] = std::clamp(t + rng_.Range(-1, 1), t == 0 ? 0 : 1, highest);
    if (t == 0 && !rng_.OneIn(4)) right[n] = 0;
  }
}

// --- Version 7 -------------------------------------------------------------

int FrameEncoder::ChooseSv7Resolution(int n, int prev, int target, bool zeroTail, const ChannelPlan& plan) {
  if (plan.driveFrom >= 0 && n >= plan.driveFrom) {
    // Out of -17..17: 15 then +3 upwards, or 0 then -5 per band downwards.
    if (n == plan.driveFrom) return plan.up ? 15 : 0;
    if (!InRange(prev)) return prev + rng_.Range(-5, 3);
    return prev + (plan.up ? 3 : -5);
  }
  if (!exhaustive_) return target;
  if (zeroTail) return 0;
  if (rng_.OneIn(5)) return rng_.Range(0, 15);
  if (rng_.OneIn(10)) return 0;
  const int lo = std::max(-5, kMinResolution - prev);
  const int hi = std::min(3, kMaxResolution - prev);
  return prev + rng_.Range(lo, hi);
}

// Codes `value` after `prev`: as a difference when it is one (-5..+3),
// else through the escape (0..15 only).
void FrameEncoder::WriteSv7Resolution(int prev, int value, bool forceEscape) {
  const int d = value - prev;
  const bool deltaPossible = d >= -5 && d <= 3;
  const bool escapePossible = value >= 0 && value <= 15;
  if (!deltaPossible && !escapePossible) throw std::logic_error("resolution cannot be coded");
  if (escapePossible && (forceEscape || !deltaPossible)) {
    Write(Sv7ResDeltaCode, 4);
    out_.Put(static_cast<uint32_t>(value), 4);
    ++cov_.resEscape;
  } else {
    Write(Sv7ResDeltaCode, d);
    ++cov_.resDelta[d + 5];
    if (value == 16 || value == 17) ++cov_.res16or17ByDelta;
  }
}

// "next from b": a difference, or the escape and a 6-bit index.
int FrameEncoder::NextScf(int from) {
  int d;
  if (exhaustive_) {
    if (rng_.OneIn(8))
      d = 8;
    else
      d = rng_.Range(-7, 7);
  } else {
    // Small steps that stay within 0..63; an escape only now and then.
    do d = Natural(Sv7ScfDeltaCode);
    while (d == 8);
    if (from + d < 0 || from + d > 63) d = -d;
    if (rng_.OneIn(400)) d = 8;
  }
  Write(Sv7ScfDeltaCode, d);
  if (d != 8) return from + d;
  const int index = exhaustive_ ? rng_.Range(0, 63) : std::clamp(from, 0, 63);
  out_.Put(static_cast<uint32_t>(index), 6);
  ++cov_.scfEscape;
  return index;
}

// One channel's samples; false when the resolution ends the parse.
bool FrameEncoder::WriteSv7Samples(int res) {
  if (!InRange(res)) return false;
  ++cov_.resolution[res - kMinResolution];
  if (res <= 0) return true;  // 0, noise (-1) and -2..-17 carry no bits
  if (res >= 8) {
    for (int i = 0; i < kSamples; ++i) out_.Put(rng_.Bits(static_cast<uint32_t>(res - 1)), res - 1);
    return true;
  }
  const int set = exhaustive_ ? static_cast<int>(rng_.Below(2)) : (rng_.OneIn(6) ? 1 : 0);
  out_.Put(static_cast<uint32_t>(set), 1);
  ++cov_.sampleSet[set][res];
  const TableId id = static_cast<TableId>(Sv7SampleCodeSet0Res1 + 2 * (res - 1) + set);
  const int codes = res == 1 ? 12 : res == 2 ? 18 : kSamples;
  const bool uniform = exhaustive_ && rng_.OneIn(2);
  for (int i = 0; i < codes; ++i) Write(id, Draw(id, uniform));
  return true;
}

void FrameEncoder::EncodeSv7Frame() {
  int res[2][kBands];
  int target[2][kBands] = {};
  if (!exhaustive_) MusicTargets(target[0], target[1], 7);

  ChannelPlan plan[2];
  bool earlyEndFrame = exhaustive_ && earlyEnd_ && maxBand_ >= 1 && rng_.OneIn(12);
  if (earlyEndFrame) {
    ChannelPlan& p = plan[rng_.Below(2)];
    p.up = maxBand_ < 5 || rng_.OneIn(2);
    // The latest start from which the chain still leaves the range by maxBand.
    const int last = p.up ? maxBand_ - 1 : maxBand_ - 4;
    p.driveFrom = last >= 1 ? rng_.Range(1, last) : -1;
    if (p.driveFrom < 0) earlyEndFrame = false;
  }
  const int zeroTailFrom = exhaustive_ && rng_.OneIn(6) ? rng_.Range(1, std::max(1, maxBand_)) : kBands;

  // Section 1: resolutions and mid/side flags.
  int maxUsed = 0;
  for (int n = 0; n <= maxBand_; ++n) {
    for (int ch = 0; ch < 2; ++ch) {
      if (n == 0) {
        const int r = exhaustive_ ? rng_.Range(0, 15) : target[ch][0];
        res[ch][0] = r;
        out_.Put(static_cast<uint32_t>(r), 4);
        continue;
      }
      const int prev = res[ch][n - 1];
      const int r = ChooseSv7Resolution(n, prev, target[ch][n], n >= zeroTailFrom, plan[ch]);
      const bool escape = plan[ch].driveFrom == n || (exhaustive_ && r >= 0 && r <= 15 && rng_.OneIn(8));
      WriteSv7Resolution(prev, r, escape);
      res[ch][n] = r;
    }
    if (midSide_ && (res[0][n] != 0 || res[1][n] != 0)) {
      out_.Put(rng_.Bits(1), 1);
      ++cov_.msBits;
    }
    if (n > 0 && (res[0][n] != 0 || res[1][n] != 0)) maxUsed = n;
  }

  // Section 2: selection patterns, left before right.
  int pattern[2][kBands];
  for (int n = 0; n <= maxUsed; ++n) {
    for (int ch = 0; ch < 2; ++ch) {
      if (res[ch][n] == 0) continue;
      pattern[ch][n] = Draw(Sv7ScfSelectCode, exhaustive_);
      Write(Sv7ScfSelectCode, pattern[ch][n]);
      ++cov_.scfPattern[pattern[ch][n]];
    }
  }

  // Section 3: scale-factor indexes; i2 becomes the next frame's reference.
  for (int n = 0; n <= maxUsed; ++n) {
    for (int ch = 0; ch < 2; ++ch) {
      if (res[ch][n] == 0) continue;
      int& ref = scfRef_[ch][n];
      const int i0 = NextScf(ref);
      int i2 = i0;
      switch (pattern[ch][n]) {
        case 0:
          i2 = NextScf(NextScf(i0));
          break;
        case 1:
          i2 = NextScf(i0);
          break;
        case 2:
          i2 = NextScf(i0);
          break;
        default:
          break;
      }
      ref = i2;
    }
  }

  // Section 4: samples, left then right per subband, until a resolution
  // outside -17..17 ends the parse.
  for (int n = 0; n <= maxUsed; ++n) {
    for (int ch = 0; ch < 2; ++ch) {
      if (!WriteSv7Samples(res[ch][n])) {
        ++cov_.earlyEndFrames;
        return;
      }
    }
  }
  if (earlyEndFrame) throw std::logic_error("early-end frame did not end early");
}

// --- Versions 4 to 6 -------------------------------------------------------

int Sv46Resolution(int band, int index) {
  if (band <= 10) return index == 15 ? 17 : index;
  if (band <= 22) return index == 7 ? 17 : index;
  return index == 3 ? 17 : index;
}

TableId Sv46ResTable(int band) {
  return band <= 10 ? Sv46ResCodeA : band <= 22 ? Sv46ResCodeB : Sv46ResCodeC;
}

void FrameEncoder::WriteSv46Scf(int pattern, int flag, int& ref) {
  const int fields = pattern == 0 ? 3 : pattern == 3 ? 1 : 2;
  int last = ref;
  for (int i = 0; i < fields; ++i) {
    if (flag == 1) {
      int d = Draw(Sv46ScfDeltaCode, exhaustive_);
      if (!exhaustive_ && (last + d < 0 || last + d > 63)) d = -d;
      Write(Sv46ScfDeltaCode, d);
      last += d;
    } else {
      last = exhaustive_ ? rng_.Range(0, 63) : std::clamp(last + rng_.Range(-2, 2), 0, 63);
      out_.Put(static_cast<uint32_t>(last), 6);
    }
  }
  ref = last;
}

void FrameEncoder::EncodeSv46Frame() {
  int res[2][kBands];
  int target[2][kBands] = {};
  if (!exhaustive_) MusicTargets(target[0], target[1], 7);
  const int zeroTailFrom = exhaustive_ && rng_.OneIn(6) ? rng_.Range(1, std::max(1, maxBand_)) : kBands;

  // Section 1: resolution indexes, with a mid/side bit between them.
  int maxUsed = 0;
  for (int n = 0; n <= maxBand_; ++n) {
    const TableId table = Sv46ResTable(n);
    const int indexes = static_cast<int>(tables_[table].codes.size());
    for (int ch = 0; ch < 2; ++ch) {
      int index;
      if (n >= zeroTailFrom) {
        index = 0;
      } else if (exhaustive_) {
        index = rng_.Range(0, indexes - 1);
      } else {
        // Music: the target itself, capped below the table's fixed-width
        // index; now and then a fixed-width subband in the low bands.
        index = std::min(target[ch][n], indexes - 2);
        if (n <= 10 && rng_.OneIn(400)) index = rng_.Range(8, 10);
      }
      Write(table, index);
      if (table == Sv46ResCodeA)
        ++cov_.resIndexA[index];
      else if (table == Sv46ResCodeB)
        ++cov_.resIndexB[index];
      else
        ++cov_.resIndexC[index];
      res[ch][n] = Sv46Resolution(n, index);
      if (ch == 0 && midSide_) {
        out_.Put(rng_.Bits(1), 1);
        ++cov_.msBits;
      }
    }
    if (n > 0 && (res[0][n] != 0 || res[1][n] != 0)) maxUsed = n;
  }

  // Section 2: selection pattern and differential flag per channel.
  int pattern[2][kBands], flag[2][kBands];
  for (int n = 0; n <= maxUsed; ++n) {
    for (int ch = 0; ch < 2; ++ch) {
      if (res[ch][n] == 0) continue;
      const int v = Draw(Sv46ScfSelectCode, exhaustive_);
      Write(Sv46ScfSelectCode, v);
      pattern[ch][n] = v >> 1;
      flag[ch][n] = v & 1;
      ++cov_.sv46Select[v >> 1][v & 1];
    }
  }

  // Section 3: scale-factor indexes.
  for (int n = 0; n <= maxUsed; ++n) {
    for (int ch = 0; ch < 2; ++ch) {
      if (res[ch][n] != 0) WriteSv46Scf(pattern[ch][n], flag[ch][n], scfRef_[ch][n]);
    }
  }

  // Section 4: a coded pass interleaving the Huffman-coded channels, then a
  // fixed-width pass interleaving the others.
  for (int n = 0; n <= maxUsed; ++n) {
    const int l = res[0][n], r = res[1][n];
    ++cov_.sv46Resolution[l];
    ++cov_.sv46Resolution[r];
    const bool codedL = l >= 1 && l <= 7, codedR = r >= 1 && r <= 7;
    const bool fixedL = l > 7, fixedR = r > 7;
    if ((codedL && fixedR) || (fixedL && codedR)) ++cov_.mixedSubbands;
    const bool uniform = exhaustive_ && rng_.OneIn(2);
    if (codedL || codedR) {
      const TableId tl = static_cast<TableId>(Sv46SampleCodeRes1 + std::max(l, 1) - 1);
      const TableId tr = static_cast<TableId>(Sv46SampleCodeRes1 + std::max(r, 1) - 1);
      for (int i = 0; i < kSamples; ++i) {
        if (codedL) Write(tl, Draw(tl, uniform));
        if (codedR) Write(tr, Draw(tr, uniform));
      }
    }
    if (fixedL || fixedR) {
      for (int i = 0; i < kSamples; ++i) {
        if (fixedL) out_.Put(rng_.Bits(static_cast<uint32_t>(l - 1)), l - 1);
        if (fixedR) out_.Put(rng_.Bits(static_cast<uint32_t>(r - 1)), r - 1);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Headers and tags.

bool IsSv7(uint32_t version) {
  return version == 7 || version == 23;
}

// The word offset of the first ring word, from the header position.
uint32_t FirstRingWord(uint32_t version) {
  return version == 4 ? 1 : version <= 6 ? 2 : 6;
}

Bytes MakeTag(TagKind kind, int bodySize, Rng& rng, bool exhaustive) {
  Bytes tag = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0};
  uint8_t flags = kind == TagKind::Id3v2Footer ? 0x10 : 0x00;
  if (exhaustive) flags |= static_cast<uint8_t>(rng.Below(8) << 5);  // bits 5-7 are ignored
  tag[5] = flags;
  const uint32_t size = static_cast<uint32_t>(bodySize);
  for (int i = 0; i < 4; ++i) tag[6 + i] = static_cast<uint8_t>((size >> (7 * (3 - i))) & 0x7F);
  // A title frame when it fits, then padding.
  Bytes body(size, 0);
  static const char kTitle[] = "velkgen stream";
  const uint32_t textSize = 1 + sizeof(kTitle) - 1;
  if (size >= 10 + textSize) {
    const uint8_t frame[10] = {'T', 'I', 'T', '2', 0, 0, 0, static_cast<uint8_t>(textSize), 0, 0};
    std::copy(frame, frame + 10, body.begin());
    body[10] = 3;  // UTF-8
    std::copy(kTitle, kTitle + sizeof(kTitle) - 1, body.begin() + 11);
  }
  tag.insert(tag.end(), body.begin(), body.end());
  if (kind == TagKind::Id3v2Footer) {
    Bytes footer(tag.begin(), tag.begin() + 10);
    footer[0] = '3';
    footer[1] = 'D';
    footer[2] = 'I';
    tag.insert(tag.end(), footer.begin(), footer.end());
  }
  return tag;
}

HeaderValues ChooseHeader(const StreamOptions& o, Rng& rng) {
  HeaderValues h;
  const bool ex = o.profile == Profile::Exhaustive;
  h.midSide = o.midSide ? *o.midSide : rng.OneIn(2);
  h.maxBand = o.maxBand >= 0 ? static_cast<uint32_t>(o.maxBand) : ex ? rng.Below(32) : rng.Range(18, 31);
  if (!IsSv7(o.streamVersion)) return h;
  h.sampleRateIndex = o.sampleRateIndex ? *o.sampleRateIndex : ex ? rng.Below(4) : 0;
  h.profileIndex = o.profileIndex ? *o.profileIndex : ex ? rng.Below(16) : 10;
  h.encoderVersion = o.encoderVersion ? *o.encoderVersion : ex ? rng.Below(256) : 115;
  h.maxLevel = o.maxLevel ? *o.maxLevel : static_cast<uint16_t>(rng.Bits(16));
  h.firstGain = o.firstGain ? *o.firstGain : static_cast<uint16_t>(rng.Bits(16));
  h.firstPeak = o.firstPeak ? *o.firstPeak : ex && rng.OneIn(3) ? 0 : static_cast<uint16_t>(rng.Bits(16));
  h.secondGain = o.secondGain ? *o.secondGain : static_cast<uint16_t>(rng.Bits(16));
  h.secondPeak = o.secondPeak ? *o.secondPeak : ex && rng.OneIn(3) ? 0 : static_cast<uint16_t>(rng.Bits(16));
  h.word5Flag = ex ? rng.OneIn(2) : true;
  h.lastFrameLength = ex ? rng.Below(2048) : rng.Range(1, 1152);
  return h;
}

void WriteHeader(BitWriter& w, uint32_t version, uint32_t frames, const HeaderValues& h) {
  if (IsSv7(version)) {
    w.Put('V' | ('K' << 8) | ('Q' << 16) | (version << 24), 32);
    w.Put(frames, 32);
    w.Put(0, 1);
    w.Put(h.midSide, 1);
    w.Put(h.maxBand, 6);
    w.Put(h.profileIndex, 4);
    w.Put(0, 2);
    w.Put(h.sampleRateIndex, 2);
    w.Put(h.maxLevel, 16);
    w.Put(h.firstGain, 16);
    w.Put(h.firstPeak, 16);
    w.Put(h.secondGain, 16);
    w.Put(h.secondPeak, 16);
    w.Put(h.word5Flag, 1);
    w.Put(h.lastFrameLength, 11);
    w.Put(0, 20);
    w.Put(h.encoderVersion, 8);  // byte 27; the frames follow in the same word
    return;
  }
  w.Put(0, 9);  // nine-bit field
  w.Put(0, 1);  // second stereo flag
  w.Put(h.midSide, 1);
  w.Put(version, 10);
  w.Put(h.maxBand, 5);
  w.Put(1, 6);  // block field
  // The reader takes one off for versions 4 and 5.
  const uint32_t stored = version < 6 ? frames + 1 : frames;
  w.Put(stored, version == 4 ? 16 : 32);
}

}  // namespace

// ---------------------------------------------------------------------------

void Coverage::Add(const Coverage& o) {
  auto add = [](auto& a, const auto& b) {
    for (size_t i = 0; i < std::size(a); ++i) a[i] += b[i];
  };
  add(resDelta, o.resDelta);
  resEscape += o.resEscape;
  add(resolution, o.resolution);
  res16or17ByDelta += o.res16or17ByDelta;
  for (int s = 0; s < 2; ++s) add(sampleSet[s], o.sampleSet[s]);
  add(scfPattern, o.scfPattern);
  scfEscape += o.scfEscape;
  earlyEndFrames += o.earlyEndFrames;
  msBits += o.msBits;
  add(resIndexA, o.resIndexA);
  add(resIndexB, o.resIndexB);
  add(resIndexC, o.resIndexC);
  for (int p = 0; p < 4; ++p) add(sv46Select[p], o.sv46Select[p]);
  add(sv46Resolution, o.sv46Resolution);
  mixedSubbands += o.mixedSubbands;
}

uint32_t GeneratedStream::FramesWhollyBefore(uint64_t offset) const {
  const uint64_t base = static_cast<uint64_t>(headerPos) * 8;
  uint32_t count = 0;
  for (const FrameLayout& f : frames) {
    const uint64_t lastWord = (f.EndBit() - 1 - base) / 32;
    if (static_cast<uint64_t>(headerPos) + 4 * (lastWord + 1) > offset) break;
    ++count;
  }
  return count;
}

uint64_t GeneratedStream::ByteOfBit(uint64_t fileBit) const {
  const uint64_t streamBit = fileBit - static_cast<uint64_t>(headerPos) * 8;
  return static_cast<uint64_t>(headerPos) + (streamBit / 32) * 4 + 3 - (streamBit % 32) / 8;
}

std::string CheckOptions(const StreamOptions& o) {
  const uint32_t v = o.streamVersion;
  if (v != 4 && v != 5 && v != 6 && v != 7 && v != 23) return "stream version must be 4, 5, 6, 7 or 23";
  if (v == 4 && o.frameCount > 65534) return "version 4 holds at most 65534 frames";
  if (v == 5 && o.frameCount == 0xFFFFFFFFu) return "version 5 holds at most 4294967294 frames";
  if (o.maxBand > 31) return "maximum band must be 0..31";
  if (o.tagBodySize > 0x0FFFFFFF) return "tag body too large";
  if (o.sampleRateIndex && *o.sampleRateIndex > 3) return "sample-rate index must be 0..3";
  if (o.profileIndex && *o.profileIndex > 15) return "profile index must be 0..15";
  if (o.encoderVersion && *o.encoderVersion > 255) return "encoder version must be 0..255";
  return {};
}

GeneratedStream GenerateStream(const StreamOptions& options) {
  if (std::string fault = CheckOptions(options); !fault.empty()) throw std::invalid_argument(fault);
  uint64_t seedState = options.seed;
  Rng rng(SplitMix64(seedState));

  GeneratedStream s;
  s.streamVersion = options.streamVersion;
  s.header = ChooseHeader(options, rng);
  const bool ex = options.profile == Profile::Exhaustive;
  if (options.tag != TagKind::None) {
    const int body = options.tagBodySize >= 0 ? options.tagBodySize
                     : ex                     ? rng.Range(0, 3000)
                                              : rng.Range(1024, 4096);
    s.bytes = MakeTag(options.tag, body, rng, ex);
  }
  s.headerPos = static_cast<int32_t>(s.bytes.size());
  s.declaredFrameCount = options.frameCount;
  const uint64_t base = static_cast<uint64_t>(s.headerPos) * 8;
  s.ringStartBit = base + 32 * FirstRingWord(options.streamVersion);

  BitWriter w;
  WriteHeader(w, options.streamVersion, options.frameCount, s.header);
  FrameEncoder encoder(options, s.header, SplitMix64(seedState), w, s.coverage);
  s.frames.reserve(options.frameCount);
  for (uint32_t k = 0; k < options.frameCount; ++k) {
    const uint64_t at = w.Position();
    w.Put(0, 20);
    if (IsSv7(options.streamVersion))
      encoder.EncodeSv7Frame();
    else
      encoder.EncodeSv46Frame();
    const uint64_t body = w.Position() - at - 20;
    if (body > 0xFFFFF) throw std::logic_error("frame longer than its 20-bit length field can say");
    w.Patch(at, static_cast<uint32_t>(body), 20);
    s.frames.push_back({base + at, static_cast<uint32_t>(body)});
  }
  // Whole words, and at least the 32-byte header block.
  w.PadToWords(std::max<size_t>(w.WordCount(), 8));
  w.AppendBytes(s.bytes);
  return s;
}

// --- Damage ----------------------------------------------------------------

void TruncateTo(Bytes& bytes, size_t length) {
  if (length < bytes.size()) bytes.resize(length);
}

void FlipBit(Bytes& bytes, size_t offset, int bit) {
  bytes.at(offset) ^= static_cast<uint8_t>(1u << bit);
}

void ZeroBlock(Bytes& bytes, size_t offset) {
  if (offset >= bytes.size()) return;
  const size_t end = std::min(bytes.size(), offset + 4096);
  std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
            bytes.begin() + static_cast<std::ptrdiff_t>(end), 0);
}

void InsertBytes(Bytes& bytes, size_t offset, const Bytes& inserted) {
  offset = std::min(offset, bytes.size());
  bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(offset), inserted.begin(), inserted.end());
}

void DeleteBytes(Bytes& bytes, size_t offset, size_t count) {
  if (offset >= bytes.size()) return;
  count = std::min(count, bytes.size() - offset);
  bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
              bytes.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

void OverClaim(Bytes& bytes, int32_t headerPos, uint32_t streamVersion, uint32_t frames) {
  const size_t at = static_cast<size_t>(headerPos) + 4;  // word 1
  const uint32_t stored = streamVersion < 6 ? frames + 1 : frames;
  if (streamVersion == 4) {
    bytes.at(at + 2) = static_cast<uint8_t>(stored);
    bytes.at(at + 3) = static_cast<uint8_t>(stored >> 8);
    return;
  }
  for (int i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<uint8_t>(stored >> (8 * i));
}

const char* DamageName(DamageKind kind) {
  switch (kind) {
    case DamageKind::Truncate:
      return "truncate";
    case DamageKind::Flip:
      return "flip";
    case DamageKind::Zero:
      return "zero";
    case DamageKind::Insert:
      return "insert";
    case DamageKind::Delete:
      return "delete";
    case DamageKind::OverClaim:
      return "overclaim";
  }
  return "?";
}

std::optional<DamageKind> DamageFromName(const std::string& name) {
  for (DamageKind k : kAllDamageKinds)
    if (name == DamageName(k)) return k;
  return std::nullopt;
}

DamageReport ApplyDamage(GeneratedStream& s, DamageKind kind, uint64_t seed) {
  const uint32_t n = static_cast<uint32_t>(s.frames.size());
  if (n < 2) throw std::invalid_argument("damage needs a stream of at least 2 frames");
  uint64_t seedState = seed ^ 0xD1B54A32D192ED03ull;
  Rng rng(SplitMix64(seedState));
  const uint64_t headerEnd = static_cast<uint64_t>(s.headerPos) + 32;  // keep the header block readable
  const uint64_t base = static_cast<uint64_t>(s.headerPos) * 8;
  auto wordStartByte = [&](uint64_t fileBit) { return s.headerPos + ((fileBit - base) / 32) * 4; };
  // End of the word holding the last frame's last bit.
  const uint64_t dataEnd = wordStartByte(s.frames.back().EndBit() - 1) + 4;
  auto pickOffset = [&] {
    const uint64_t lo = std::min(headerEnd, dataEnd - 1);
    return lo + rng.Below(static_cast<uint32_t>(dataEnd - lo));
  };

  DamageReport r;
  r.kind = kind;
  std::ostringstream text;
  switch (kind) {
    case DamageKind::Truncate: {
      r.offset = pickOffset();
      TruncateTo(s.bytes, r.offset);
      r.exactGood = s.FramesWhollyBefore(r.offset);
      text << "truncated to " << r.offset << " bytes";
      break;
    }
    case DamageKind::Flip: {
      // A bit of a length field: that frame fails whatever its body holds.
      const uint32_t k = rng.Below(n);
      const uint64_t bit = s.frames[k].lengthFieldBit + rng.Below(20);
      r.offset = s.ByteOfBit(bit);
      const int inByte = GeneratedStream::BitInByte(bit);
      FlipBit(s.bytes, r.offset, inByte);
      r.length = 1;
      r.exactGood = k;
      text << "bit " << inByte << " of byte " << r.offset << " flipped (length field of frame " << k + 1
           << ")";
      break;
    }
    case DamageKind::Zero: {
      // The block always covers a later frame's whole length field.
      uint32_t k = 1 + rng.Below(n - 1);
      while (k + 1 < n && wordStartByte(s.frames[k].lengthFieldBit) < headerEnd) ++k;
      const uint64_t start = wordStartByte(s.frames[k].lengthFieldBit);
      const uint64_t back = rng.Below(2049);
      r.offset = std::max(headerEnd, start > back ? start - back : 0);
      ZeroBlock(s.bytes, r.offset);
      r.length = std::min<uint64_t>(4096, s.bytes.size() - r.offset);
      text << "4 KiB zeroed at byte " << r.offset;
      break;
    }
    case DamageKind::Insert: {
      r.offset = pickOffset();
      Bytes inserted(1 + rng.Below(7));
      for (auto& b : inserted) b = static_cast<uint8_t>(rng.Bits(8));
      InsertBytes(s.bytes, r.offset, inserted);
      r.length = inserted.size();
      r.shift = static_cast<int64_t>(inserted.size());
      text << inserted.size() << " byte(s) inserted at byte " << r.offset;
      break;
    }
    case DamageKind::Delete: {
      r.offset = pickOffset();
      const size_t count = 1 + rng.Below(7);
      DeleteBytes(s.bytes, r.offset, count);
      r.shift = -static_cast<int64_t>(count);
      text << count << " byte(s) deleted at byte " << r.offset;
      break;
    }
    case DamageKind::OverClaim: {
      const uint32_t limit = s.streamVersion == 4 ? 65534u : 0xFFFFFFF0u;
      if (n >= limit) throw std::invalid_argument("no room to claim more frames");
      const uint32_t claimed = n + 1 + rng.Below(std::min(limit - n - 1, n + 10));
      OverClaim(s.bytes, s.headerPos, s.streamVersion, claimed);
      s.declaredFrameCount = claimed;
      r.exactGood = n;
      r.offset = s.bytes.size();
      text << "header claims " << claimed << " frames, the file holds " << n;
      break;
    }
  }
  r.framesWhollyBefore = kind == DamageKind::OverClaim ? n : s.FramesWhollyBefore(r.offset);
  r.description = text.str();
  return r;
}

// --- Files and libraries ---------------------------------------------------

void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

const char* FileKindName(FileKind kind) {
  switch (kind) {
    case FileKind::Good:
      return "good";
    case FileKind::Tagged:
      return "tagged";
    case FileKind::Broken:
      return "broken";
    case FileKind::Unrecognised:
      return "unrecognised";
    case FileKind::NotVelk:
      return "not-velk";
  }
  return "?";
}

std::string Describe(const GeneratedStream& s, const StreamOptions& o) {
  std::ostringstream text;
  text << "version " << s.streamVersion << ", " << s.frames.size() << " frames (header "
       << s.declaredFrameCount << "), " << s.bytes.size() << " bytes, header at " << s.headerPos
       << ", max band " << s.header.maxBand << ", mid/side " << (s.header.midSide ? "on" : "off") << ", "
       << (o.profile == Profile::Music ? "music" : "exhaustive") << ", seed " << o.seed;
  return text.str();
}

namespace {

// Per-file seeds: independent streams from one library seed.
uint64_t FileSeed(uint64_t librarySeed, uint64_t index) {
  uint64_t state = librarySeed * 0x9E3779B97F4A7C15ull + index;
  return SplitMix64(state);
}

class LibraryWriter {
 public:
  LibraryWriter(std::filesystem::path dir, uint64_t seed) : dir_(std::move(dir)), seed_(seed) {}

  LibraryFile& Add(const std::filesystem::path& rel, FileKind kind, const Bytes& bytes) {
    const std::filesystem::path full = dir_ / rel;
    std::filesystem::create_directories(full.parent_path());
    WriteFile(full, bytes);
    LibraryFile f;
    f.path = rel;
    f.kind = kind;
    f.size = bytes.size();
    total_ += bytes.size();
    files_.push_back(std::move(f));
    return files_.back();
  }

  LibraryFile& AddStream(const std::filesystem::path& rel, FileKind kind, const GeneratedStream& s) {
    LibraryFile& f = Add(rel, kind, s.bytes);
    f.streamVersion = s.streamVersion;
    f.frames = static_cast<uint32_t>(s.frames.size());
    f.declaredFrameCount = s.declaredFrameCount;
    f.headerPos = s.headerPos;
    return f;
  }

  StreamOptions Options(uint32_t version, uint32_t frames, Profile profile) {
    StreamOptions o;
    o.streamVersion = version;
    o.frameCount = frames;
    o.profile = profile;
    o.seed = FileSeed(seed_, next_++);
    return o;
  }

  uint64_t total() const { return total_; }
  std::vector<LibraryFile>& files() { return files_; }

 private:
  std::filesystem::path dir_;
  uint64_t seed_;
  uint64_t next_ = 0;
  uint64_t total_ = 0;
  std::vector<LibraryFile> files_;
};

constexpr double kMusicFrameBytes = 650;  // about what a music-profile frame takes

std::string Padded(uint32_t n, int width) {
  std::string s = std::to_string(n);
  return std::string(s.size() < static_cast<size_t>(width) ? width - s.size() : 0, '0') + s;
}

}  // namespace

std::vector<LibraryFile> GenerateLibrary(const std::filesystem::path& dir, const LibraryOptions& options) {
  namespace fs = std::filesystem;
  LibraryWriter lib(dir, options.seed);
  Rng rng(FileSeed(options.seed, 0xFFFF'FFFFull));
  const double target = std::max(0.0, options.sizeMb) * 1024 * 1024;
  // Small files for the special cases: a little of the whole each.
  const uint32_t smallFrames =
      static_cast<uint32_t>(std::clamp(target / 120 / kMusicFrameBytes, 24.0, 400.0));
  const uint32_t versions[] = {4, 5, 6, 7, 23};

  // Every syntax feature, every version.
  for (uint32_t v : versions) {
    const StreamOptions o = lib.Options(v, smallFrames, Profile::Exhaustive);
    lib.AddStream(fs::path("Exhaustive") / ("all features v" + std::to_string(v) + ".vlk"), FileKind::Good,
                  GenerateStream(o));
  }

  // Behind ID3v2 tags, with and without the footer flag.
  {
    const struct {
      uint32_t version;
      TagKind tag;
      const char* name;
    } tagged[] = {{7, TagKind::Id3v2, "tagged v7.vlk"},
                  {5, TagKind::Id3v2Footer, "tagged with footer v5.vlk"},
                  {23, TagKind::Id3v2Footer, "tagged with footer v23.vkq"},
                  {4, TagKind::Id3v2, "tagged v4.vlk"}};
    for (const auto& t : tagged) {
      StreamOptions o = lib.Options(t.version, smallFrames, Profile::Music);
      o.tag = t.tag;
      lib.AddStream(fs::path("Tagged") / t.name, FileKind::Tagged, GenerateStream(o));
    }
  }

  // One file per damage, across the versions; one of them behind a tag.
  {
    uint32_t i = 0;
    for (DamageKind kind : kAllDamageKinds) {
      const uint32_t v = versions[i % 5];
      StreamOptions o = lib.Options(v, smallFrames, Profile::Music);
      if (kind == DamageKind::Zero) o.tag = TagKind::Id3v2;
      GeneratedStream s = GenerateStream(o);
      const DamageReport d = ApplyDamage(s, kind, o.seed);
      LibraryFile& f = lib.AddStream(
          fs::path("Broken") / (std::string(DamageName(kind)) + " v" + std::to_string(v) + ".vlk"),
          FileKind::Broken, s);
      f.damage = d;
      f.note = d.description;
      ++i;
    }
    // Broken at the very first frame: versions 4 and 5 store the count plus
    // one, so a repair to 0 good frames is a case of its own.
    for (uint32_t v : {4u, 5u}) {
      GeneratedStream s = GenerateStream(lib.Options(v, smallFrames, Profile::Music));
      const uint64_t bit = s.frames[0].lengthFieldBit + 19;
      DamageReport d;
      d.kind = DamageKind::Flip;
      d.offset = s.ByteOfBit(bit);
      d.exactGood = 0;
      FlipBit(s.bytes, d.offset, GeneratedStream::BitInByte(bit));
      d.length = 1;
      d.description = "length field of frame 1 changed";
      LibraryFile& f = lib.AddStream(fs::path("Broken") / ("first frame v" + std::to_string(v) + ".vlk"),
                                     FileKind::Broken, s);
      f.damage = d;
      f.note = d.description;
    }
  }

  // Headers the reader rejects, and files that only look like streams.
  {
    auto unrecognised = [&](const char* name, const Bytes& bytes, int32_t code, const char* why) {
      LibraryFile& f = lib.Add(fs::path("Unrecognised") / name, FileKind::Unrecognised, bytes);
      f.headerResult = code;
      f.note = why;
    };
    GeneratedStream future = GenerateStream(lib.Options(7, 8, Profile::Music));
    future.bytes[3] = 0x08;
    unrecognised("future version.vlk", future.bytes, 1, "VKQ with version byte 0x08");

    GeneratedStream block = GenerateStream(lib.Options(5, 8, Profile::Music));
    block.bytes[0] = static_cast<uint8_t>((block.bytes[0] & 0xC0) | 2);  // block field 2
    unrecognised("bad block field.vlk", block.bytes, 4, "older layout with block field 2");

    GeneratedStream stereo = GenerateStream(lib.Options(6, 8, Profile::Music));
    stereo.bytes[2] |= 0x40;  // bit 22 of word 0
    unrecognised("second stereo.vkq", stereo.bytes, 3, "older layout with the second stereo flag set");

    GeneratedStream seven = GenerateStream(lib.Options(6, 8, Profile::Music));
    // Version field (word 0 bits 20-11) := 7.
    uint32_t w0 = seven.bytes[0] | (seven.bytes[1] << 8) | (seven.bytes[2] << 16) |
                  (static_cast<uint32_t>(seven.bytes[3]) << 24);
    w0 = (w0 & ~(0x3FFu << 11)) | (7u << 11);
    for (int b = 0; b < 4; ++b) seven.bytes[b] = static_cast<uint8_t>(w0 >> (8 * b));
    unrecognised("old layout version 7.vlk", seven.bytes, 1, "older layout with version field 7");

    GeneratedStream badTag = GenerateStream(lib.Options(7, 8, Profile::Music));
    Bytes tagged = {'I', 'D', '3', 4, 0, 0x01, 0, 0, 0, 0};
    tagged.insert(tagged.end(), badTag.bytes.begin(), badTag.bytes.end());
    unrecognised("malformed tag.vlk", tagged, 1, "ID3v2 tag header with flag bit 0 set");

    const std::string text = "These are my notes about the Velk files in this folder.\n";
    unrecognised("notes.vlk", Bytes(text.begin(), text.end()), 2, "a text file");
    unrecognised("empty.vqk", Bytes{}, 3, "an empty file");
  }

  // Extensions in mixed case.
  {
    const char* names[] = {"Loud.VLK", "Quiet.Vkq", "Other.vQK"};
    uint32_t i = 0;
    for (const char* name : names) {
      const uint32_t v = versions[(3 + i++) % 5];
      lib.AddStream(fs::path("Mixed Case") / name, FileKind::Good,
                    GenerateStream(lib.Options(v, smallFrames, Profile::Music)));
    }
  }

  // Files the extension filter must skip.
  {
    const std::string readme = "Sample library written by velkgen.\n";
    lib.Add(fs::path("Other") / "readme.txt", FileKind::NotVelk, Bytes(readme.begin(), readme.end()));
    Bytes wav = {'R', 'I', 'F', 'F', 36 + 64, 0, 0,   0,   'W', 'A',  'V',  'E', 'f', 'm',  't',
                 ' ', 16,  0,   0,   0,       1, 0,   2,   0,   0x44, 0xAC, 0,   0,   0x10, 0xB1,
                 2,   0,   4,   0,   16,      0, 'd', 'a', 't', 'a',  64,   0,   0,   0};
    wav.resize(wav.size() + 64, 0);
    lib.Add(fs::path("Other") / "sound.wav", FileKind::NotVelk, wav);
    const GeneratedStream copy = GenerateStream(lib.Options(7, smallFrames, Profile::Music));
    lib.AddStream(fs::path("Other") / "backup.vlk.bak", FileKind::NotVelk, copy);
    lib.AddStream(fs::path("Other") / "vlk", FileKind::NotVelk, copy);
  }

  // Deep nesting.
  lib.AddStream(fs::path("Deep") / "1" / "2" / "3" / "4" / "5" / "6" / "7" / "8" / "deep.vlk", FileKind::Good,
                GenerateStream(lib.Options(6, smallFrames, Profile::Music)));

  // Music until the target size: artists, albums, tracks.
  const double averageFile = std::clamp(target / 40, 64.0 * 1024, 6.0 * 1024 * 1024);
  uint32_t artist = 1, album = 1, track = 1;
  while (static_cast<double>(lib.total()) + averageFile / 4 < target) {
    const double bytes = averageFile * (0.5 + rng.Below(1001) / 1000.0);
    const double remaining = target - static_cast<double>(lib.total());
    const uint32_t frames =
        static_cast<uint32_t>(std::max(8.0, std::min(bytes, remaining) / kMusicFrameBytes));
    const uint32_t pick = rng.Below(20);
    const uint32_t v = pick < 11 ? 7 : pick < 14 ? 23 : pick < 16 ? 6 : pick < 18 ? 5 : 4;
    StreamOptions o = lib.Options(v, std::min<uint32_t>(frames, 65534), Profile::Music);
    const bool tag = rng.OneIn(10);
    if (tag) o.tag = rng.OneIn(2) ? TagKind::Id3v2 : TagKind::Id3v2Footer;
    const char* ext = v >= 7 && rng.OneIn(4) ? ".vkq" : ".vlk";
    const fs::path rel = fs::path("Music") / ("Artist " + Padded(artist, 2)) /
                         ("Album " + std::to_string(album)) / (Padded(track, 2) + " Track" + ext);
    lib.AddStream(rel, tag ? FileKind::Tagged : FileKind::Good, GenerateStream(o));
    if (++track > 2 + rng.Below(10)) {
      track = 1;
      if (++album > 1 + rng.Below(3)) {
        album = 1;
        ++artist;
      }
    }
  }
  return std::move(lib.files());
}

}  // namespace velkscan::gen
