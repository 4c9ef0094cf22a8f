#include "recover/damagemap.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "recover/walker.h"

namespace velkscan {

namespace {

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

ByteSpan BytesOfBits(const StreamInfo& info, uint64_t beginBit, uint64_t endBit, uint32_t beginAlign,
                     uint32_t endAlign) {
  const uint64_t base =
      static_cast<uint64_t>(info.headerPos) +
      static_cast<uint64_t>(FirstFrameOf(static_cast<int32_t>(info.streamVersion)).byteOffset);
  const uint64_t firstWord = beginBit / 32;
  if (beginAlign != endAlign) {
    const uint64_t lastWord = std::max<uint64_t>(endBit, 1) - 1;
    const uint64_t first = base + beginAlign + 4 * firstWord;
    return {first, std::max(first, base + endAlign + 4 * (lastWord / 32) + 3)};
  }
  const uint64_t a = beginAlign;
  const uint64_t last = std::max(endBit, beginBit + 1) - 1;
  const uint64_t lastWord = last / 32;
  if (firstWord != lastWord) return {base + a + 4 * firstWord, base + a + 4 * lastWord + 3};
  return {base + a + 4 * firstWord + 3 - (last % 32) / 8, base + a + 4 * firstWord + 3 - (beginBit % 32) / 8};
}

namespace {

DamageMap Walk(Walker& w, const StreamInfo& info, uint32_t declared, uint32_t frame, uint64_t bit) {
  DamageMap map;
  const uint64_t first = FirstFrameBit(info);
  map.runs.push_back({0, frame, first, bit});
  uint64_t index = frame;    // number of the frame at bit
  bool numbersKnown = true;  // no stretch of estimated length behind
  // A header that declares no frames says nothing of how many there are:
  // the walk follows them to the end of the file.
  const bool counted = declared > 0;
  for (;;) {
    // Good frames, as far as they go.
    GoodRun& run = map.runs.back();
    Walker::Frame f;
    for (;;) {
      if (w.Stopped()) {
        map.end = DamageMap::End::kStopped;
        return map;
      }
      if (counted && numbersKnown && index >= declared) return map;
      if (w.AtCleanEnd(bit)) {
        if (!counted) return map;
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
      if (!w.Decode(bit, f, true) && w.failed()) break;
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
          w.RunHolds(candidate, static_cast<uint32_t>(index + 1), counted && numbersKnown, kStepRun)) {
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
      count = counted && numbersKnown && declared > index ? declared - index
                                                          : Estimate(next > bit ? next - bit : 0, map);
      region.countKnown = counted && numbersKnown;
    } else if (!region.countKnown) {
      count = Estimate(next > bit ? next - bit : 0, map);
      numbersKnown = false;
    }
    region.lastFrame = static_cast<uint32_t>(index + count - 1);
    region.endBit = next;
    map.regions.push_back(region);
    index += count;
    bit = next;
    map.runs.push_back({static_cast<uint32_t>(index), 0, bit, bit, w.align()});
    if (!found) return map;
  }
}

}  // namespace

DamageMap MapDamage(ByteStream& stream, const StreamInfo& info, uint32_t declared, uint32_t frame,
                    uint64_t bit, const std::function<bool()>& stopped) {
  Walker w(stream, info, declared, stopped);
  if (!w.ok()) {
    DamageMap map;
    map.end = DamageMap::End::kReadError;
    return map;
  }
  DamageMap map = Walk(w, info, declared, frame, bit);
  map.work = w.work();
  return map;
}

}  // namespace velkscan
