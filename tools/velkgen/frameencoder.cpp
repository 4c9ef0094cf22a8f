#include "velkgen/frameencoder.h"

#include <algorithm>
#include <stdexcept>

namespace velkscan::gen {

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

namespace {

bool InRange(int r) {
  return r >= kMinResolution && r <= kMaxResolution;
}

}  // namespace

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
  } else {
    Write(Sv7ResDeltaCode, d);
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
  return index;
}

// One channel's samples; false when the resolution ends the parse.
bool FrameEncoder::WriteSv7Samples(int res) {
  if (!InRange(res)) return false;
  if (res <= 0) return true;  // 0, noise (-1) and -2..-17 carry no bits
  if (res >= 8) {
    for (int i = 0; i < kSamples; ++i) out_.Put(rng_.Bits(static_cast<uint32_t>(res - 1)), res - 1);
    return true;
  }
  const int set = exhaustive_ ? static_cast<int>(rng_.Below(2)) : (rng_.OneIn(6) ? 1 : 0);
  out_.Put(static_cast<uint32_t>(set), 1);
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
      if (!WriteSv7Samples(res[ch][n])) return;
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
      res[ch][n] = Sv46Resolution(n, index);
      if (ch == 0 && midSide_) {
        out_.Put(rng_.Bits(1), 1);
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
    const bool codedL = l >= 1 && l <= 7, codedR = r >= 1 && r <= 7;
    const bool fixedL = l > 7, fixedR = r > 7;
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

}  // namespace velkscan::gen
