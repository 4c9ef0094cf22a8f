#include "recover/damagemap.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "decoder/framedecoder.h"

namespace velkscan {

namespace {

[[maybe_unused]] uint32_t SwapBytes(uint32_t w) {
  return (w >> 24) | ((w >> 8) & 0xFF00u) | ((w << 8) & 0xFF0000u) | (w << 24);
}

// No frame body the syntax can produce is longer, so a larger length field
// cannot start a frame that passes.
constexpr uint32_t kMaxBodyBits = kMaxFrameBits - 20;
constexpr uint64_t kBlockWords = kRingHalfWords;
// What setting up a frame parse costs, in bits parsed: a search that tries a
// position after every bit pays it each time.
constexpr uint64_t kParseSetupBits = 256;

// The decoder's ring, used as a window that can be set anywhere: file block
// k (32 KiB, counted from the first frame's word) always goes into half
// k & 1, so a stream word w sits at ring index w & kRingMask. A frame parse
// starting anywhere in block k stays within blocks k and k + 1.
class Walker {
 public:
  Walker(ByteStream& stream, const StreamInfo& info, uint32_t declared, const std::function<bool()>& stopped)
      : stream_(stream), declared_(declared), stopped_(stopped) {
    d_.reset(new (std::nothrow) FrameDecoder(stream));
    if (!d_) return;
    d_->Start(info);  // blocks 0 and 1, and the file's word limit
    readError_ = d_->readError;
    readErrorByte_ = static_cast<uint64_t>(info.headerPos);
    base_ = int64_t{info.headerPos} + FirstFrameOf(static_cast<int32_t>(info.streamVersion)).byteOffset;
    fileBits_ = d_->wordLimit >= (uint64_t{1} << 40) ? uint64_t{1} << 45 : d_->wordLimit * 32;
    budget_ = kSearchWorkPerBit * std::min<uint64_t>(fileBits_, 8 * (kLastReachableByte + 1));
    loaded_[0] = 0;
    loaded_[1] = 1;
  }

  bool ok() const { return d_ != nullptr; }
  uint64_t fileBits() const { return fileBits_; }
  // A read failed, or a block lay out of reach: the walk cannot go on.
  bool failed() const { return readError_ || outOfReach_; }
  bool outOfReach() const { return outOfReach_; }
  bool limited() const { return limited_; }
  uint64_t readErrorByte() const { return readErrorByte_; }
  bool Stopped() const { return stopped_ && stopped_(); }

  // Fewer bits left than a word: the padding after the last frame.
  bool AtCleanEnd(uint64_t bit) const { return bit >= fileBits_ || fileBits_ - bit < 32; }

  struct Frame {
    bool passed = false;
    uint64_t declaredEnd = 0;  // after the body its length field declares
    uint64_t parseEnd = 0;     // where the parse of its syntax stopped
  };

  // Checks the frame whose length field starts at bit.
  bool Decode(uint64_t bit, Frame& f) {
    if (bit + 21 > fileBits_ || !Ensure(bit / 32)) return false;
    const FrameAt frame = d_->CheckFrameAt(bit);
    f.passed = frame.result == FrameResult::kPassed;
    f.declaredEnd = frame.declaredEnd;
    f.parseEnd = frame.parseEnd;
    work_ += (f.parseEnd > bit ? f.parseEnd - bit : 0) + kParseSetupBits;
    return true;
  }

  // Frames that pass in a row from bit, up to `need`; true when the run is
  // long enough, reaches the end of the file, or (frame numbers known)
  // reaches the header's count.
  bool RunHolds(uint64_t bit, uint32_t frame, bool numbersKnown, uint32_t need) {
    for (uint32_t n = 0;; ++n) {
      if (numbersKnown && uint64_t{frame} + n >= declared_) return true;
      if (n > 0 && AtCleanEnd(bit)) return true;
      if (n >= need) return true;
      Frame f;
      if (!Decode(bit, f) || !f.passed) return false;
      bit = f.declaredEnd;
    }
  }

  // The first bit at or after `from` where kSyncRun frames pass (or all up
  // to the end of the file); fileBits when there is none, or when the work
  // budget ran out (limited() then says so). A candidate must
  // first have three plausible length fields in a row (or fewer, ending
  // at the end of the file), which rules out nearly every position cheaply.
  uint64_t Search(uint64_t from) {
    for (uint64_t word = from / 32; word * 32 + 21 <= fileBits_; ++word) {
      if (word % kBlockWords == 0 || word == from / 32) {
        if (Stopped() || !Ensure(word)) return fileBits_;
        // A block of zero words (a hole in the file) holds no length field
        // but perhaps in its last word, which reaches into the next block.
        if (word % kBlockWords == 0 && (word + kBlockWords) * 32 <= fileBits_ && ZeroBlock(word)) {
          word += kBlockWords - 2;
          continue;
        }
      }
      const uint64_t pair = uint64_t{d_->ring[word & kRingMask]} << 32 | d_->ring[(word + 1) & kRingMask];
      // A length that fits a frame has its top 4 bits clear, and not all 20:
      // mark the offsets (from the top) where 4 zero bits start but not 20,
      // and visit only those.
      const uint64_t z = ~pair;
      const uint64_t zero4 = z & (z << 1) & (z << 2) & (z << 3);
      const uint64_t zero16 = zero4 & (zero4 << 4) & (zero4 << 8) & (zero4 << 12);
      uint64_t starts = zero4 & ~(zero16 & (zero4 << 16)) & 0xFFFFFFFF00000000ull;
      if (word == from / 32) starts &= ~uint64_t{0} >> (from % 32);
      while (starts != 0) {
        const auto off = static_cast<uint32_t>(std::countl_zero(starts));
        starts &= ~(uint64_t{1} << (63 - off));
        const uint32_t length = static_cast<uint32_t>((pair << off) >> 44);
        if (length == 0 || length > kMaxBodyBits) continue;
        const uint64_t bit = word * 32 + off;
        if (!Plausible(bit + 20 + length, 2)) continue;
        if (work_ > budget_) {
          limited_ = true;
          return fileBits_;
        }
        if (RunHolds(bit, 0, false, kSyncRun)) return bit;
        if (readError_ || !Ensure(word)) return fileBits_;  // the run may have moved the window
      }
    }
    return fileBits_;
  }

 private:
  // depth more length fields in a row that a frame could have (or the end
  // of the file); every bit looked at lies within the two loaded blocks.
  bool Plausible(uint64_t bit, int depth) {
    for (; depth > 0; --depth) {
      if (bit + 21 > fileBits_) return true;
      const uint32_t length = Field20(bit);
      if (length == 0 || length > kMaxBodyBits) return false;
      bit += 20 + length;
    }
    return true;
  }

  bool ZeroBlock(uint64_t word) const {
    static const uint32_t kZeros[kBlockWords] = {};
    return std::memcmp(d_->ring + (word / kBlockWords & 1) * kRingHalfWords, kZeros, sizeof kZeros) == 0;
  }

  uint32_t Field20(uint64_t bit) const {
    const uint64_t word = bit / 32;
    const uint64_t pair = uint64_t{d_->ring[word & kRingMask]} << 32 | d_->ring[(word + 1) & kRingMask];
    return static_cast<uint32_t>((pair << (bit % 32)) >> 44);
  }

  // Blocks word / kBlockWords and the one after it in the ring.
  bool Ensure(uint64_t word) {
    if (failed()) return false;
    const uint64_t block = word / kBlockWords;
    return Load(block) && Load(block + 1);
  }

  bool Load(uint64_t block) {
    uint64_t& slot = loaded_[block & 1];
    if (slot == block) return true;
    slot = kNone;
    const uint64_t firstWord = block * kBlockWords;
    if (firstWord * 32 >= fileBits_) return true;  // nothing of the file there
    const uint64_t expected = std::min<uint64_t>(kBlockWords, fileBits_ / 32 - firstWord) * 4;
    uint32_t* half = d_->ring + (block & 1) * kRingHalfWords;
    const int64_t offset = base_ + static_cast<int64_t>(firstWord * 4);
    if (static_cast<uint64_t>(offset) > kLastReachableByte) {
      outOfReach_ = true;
      readErrorByte_ = static_cast<uint64_t>(offset);
      return false;
    }
    work_ += kBlockWords * 32;
    uint32_t got = 0;
    if (SeekTo(offset)) got = stream_.Read(half, kRingHalfBytes);
    if (got < expected) {
      readError_ = true;
      readErrorByte_ = static_cast<uint64_t>(offset) + got;
      return false;
    }
    if constexpr (std::endian::native == std::endian::big) {
      for (uint32_t i = 0; i < kRingHalfWords; ++i) half[i] = SwapBytes(half[i]);
    }
    slot = block;
    return true;
  }

  bool SeekTo(int64_t offset) { return offset >= 0 && SeekToByte(stream_, static_cast<uint64_t>(offset)); }

  static constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();
  ByteStream& stream_;
  std::unique_ptr<FrameDecoder> d_;
  uint32_t declared_;
  const std::function<bool()>& stopped_;
  int64_t base_ = 0;
  uint64_t fileBits_ = 0;
  uint64_t loaded_[2] = {kNone, kNone};
  bool readError_ = false;
  bool outOfReach_ = false;
  bool limited_ = false;
  uint64_t readErrorByte_ = 0;
  uint64_t work_ = 0;  // bits parsed, and read, so far
  uint64_t budget_ = 0;
};

// How the walk ends where the window could not be filled.
DamageMap::End FailedEnd(const Walker& w) {
  return w.outOfReach() ? DamageMap::End::kOutOfReach : DamageMap::End::kReadError;
}

uint32_t Estimate(uint64_t bits, const DamageMap& map) {
  uint64_t goodBits = 0, goodFrames = 0;
  for (const GoodRun& r : map.runs) {
    goodBits += r.endBit - r.beginBit;
    goodFrames += r.frames;
  }
  const double perFrame = goodFrames > 0 ? static_cast<double>(goodBits) / goodFrames : 5000.0;
  return static_cast<uint32_t>(
      std::clamp(std::llround(static_cast<double>(bits) / perFrame), 1LL, 1LL << 31));
}

// After the walk reached the end of the file with the frame numbers behind
// a searched stretch estimated: the header's count says how many there
// were, when the file ends where its frames end. The last estimate takes
// the difference, if that leaves it at least one frame.
void AnchorToCount(DamageMap& map, uint32_t declared, uint64_t counted) {
  auto last = std::find_if(map.regions.rbegin(), map.regions.rend(),
                           [](const DamagedRegion& r) { return !r.countKnown; });
  if (last == map.regions.rend()) return;
  const int64_t delta = int64_t{declared} - static_cast<int64_t>(counted);
  if (int64_t{last->lastFrame} - last->firstFrame + 1 + delta < 1) return;
  const size_t at = static_cast<size_t>(map.regions.rend() - last) - 1;
  map.regions[at].lastFrame = static_cast<uint32_t>(map.regions[at].lastFrame + delta);
  // Known exactly only when no other stretch was estimated.
  map.regions[at].countKnown =
      std::none_of(map.regions.begin(), map.regions.begin() + static_cast<std::ptrdiff_t>(at),
                   [](const DamagedRegion& r) { return !r.countKnown; });
  for (size_t i = at + 1; i < map.regions.size(); ++i) {
    map.regions[i].firstFrame = static_cast<uint32_t>(map.regions[i].firstFrame + delta);
    map.regions[i].lastFrame = static_cast<uint32_t>(map.regions[i].lastFrame + delta);
  }
  for (size_t i = at + 1; i < map.runs.size(); ++i)
    map.runs[i].firstFrame = static_cast<uint32_t>(map.runs[i].firstFrame + delta);
}

}  // namespace

bool SeekToByte(ByteStream& stream, uint64_t offset) {
  if (offset > kLastReachableByte) return false;
  // Seek takes a signed 32-bit offset: positions past 2 GiB in steps.
  constexpr uint64_t kStep = std::numeric_limits<int32_t>::max();
  uint64_t at = std::min(offset, kStep);
  uint32_t pos = stream.Seek(static_cast<int32_t>(at), kFromStart);
  while (pos == at && at < offset) {
    const uint64_t step = std::min(offset - at, kStep);
    at += step;
    pos = stream.Seek(static_cast<int32_t>(step), kFromCurrent);
  }
  return pos == offset;
}

uint64_t DamageMap::KeptFrames() const {
  uint64_t n = 0;
  for (const GoodRun& r : runs) n += r.frames;
  return n;
}

uint64_t FirstFrameBit(const StreamInfo& info) {
  return FirstFrameOf(static_cast<int32_t>(info.streamVersion)).bitPos;
}

ByteSpan BytesOfBits(const StreamInfo& info, uint64_t beginBit, uint64_t endBit) {
  const uint64_t base =
      static_cast<uint64_t>(info.headerPos) +
      static_cast<uint64_t>(FirstFrameOf(static_cast<int32_t>(info.streamVersion)).byteOffset);
  const uint64_t last = std::max(endBit, beginBit + 1) - 1;
  const uint64_t firstWord = beginBit / 32, lastWord = last / 32;
  if (firstWord != lastWord) return {base + 4 * firstWord, base + 4 * lastWord + 3};
  return {base + 4 * firstWord + 3 - (last % 32) / 8, base + 4 * firstWord + 3 - (beginBit % 32) / 8};
}

DamageMap MapDamage(ByteStream& stream, const StreamInfo& info, uint32_t declared, uint32_t frame,
                    uint64_t bit, const std::function<bool()>& stopped) {
  DamageMap map;
  Walker w(stream, info, declared, stopped);
  if (!w.ok()) {
    map.end = DamageMap::End::kReadError;
    return map;
  }
  const uint64_t first = FirstFrameBit(info);
  map.runs.push_back({0, frame, first, bit});
  uint64_t index = frame;    // number of the frame at bit
  bool numbersKnown = true;  // no stretch of estimated length behind
  for (;;) {
    // Good frames, as far as they go.
    GoodRun& run = map.runs.back();
    Walker::Frame f;
    for (;;) {
      if (w.Stopped()) {
        map.end = DamageMap::End::kStopped;
        return map;
      }
      if (numbersKnown && index >= declared) return map;
      if (w.AtCleanEnd(bit)) {
        if (!numbersKnown) {
          AnchorToCount(map, declared, index);
          return map;
        }
        // The file ends before the header's count: those frames are missing.
        map.regions.push_back(
            {static_cast<uint32_t>(index), declared - 1, bit, std::max(bit, w.fileBits()), true});
        map.runs.push_back({declared, 0, std::max(bit, w.fileBits()), std::max(bit, w.fileBits())});
        return map;
      }
      if (!w.Decode(bit, f) && w.failed()) break;
      if (!f.passed) break;
      ++run.frames;
      ++index;
      run.endBit = bit = f.declaredEnd;
    }
    if (w.failed()) {
      map.end = FailedEnd(w);
      map.readErrorByte = w.readErrorByte();
      return map;
    }

    // A failed frame at bit (or one that does not fit in the file).
    DamagedRegion region{static_cast<uint32_t>(index), static_cast<uint32_t>(index), bit, 0, true};
    uint64_t next = w.fileBits();
    bool found = false;
    for (const uint64_t candidate : {f.declaredEnd, f.parseEnd}) {
      if (candidate > bit && candidate < w.fileBits() &&
          w.RunHolds(candidate, static_cast<uint32_t>(index + 1), numbersKnown, kStepRun)) {
        next = candidate;
        found = true;
        break;
      }
      if (f.parseEnd == f.declaredEnd) break;
    }
    if (!found && !w.failed()) {
      next = w.Search(bit + 1);
      found = next < w.fileBits();
      region.countKnown = false;
      region.searchLimited = w.limited();
    }
    if (w.failed()) {
      map.end = FailedEnd(w);
      map.readErrorByte = w.readErrorByte();
      return map;
    }
    if (w.Stopped()) {
      map.end = DamageMap::End::kStopped;
      return map;
    }
    uint64_t count = 1;
    if (!found) {
      // Damaged to the end of the file.
      next = std::max(bit, w.fileBits());
      count = numbersKnown && declared > index ? declared - index : Estimate(next - bit, map);
      region.countKnown = numbersKnown;
    } else if (!region.countKnown) {
      count = Estimate(next - bit, map);
      numbersKnown = false;
    }
    region.lastFrame = static_cast<uint32_t>(index + count - 1);
    region.endBit = next;
    map.regions.push_back(region);
    index += count;
    bit = next;
    map.runs.push_back({static_cast<uint32_t>(index), 0, bit, bit});
    if (!found) return map;
  }
}

}  // namespace velkscan
