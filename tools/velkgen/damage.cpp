// Damage: each function changes the bytes in one way; ApplyDamage picks the
// place from a seed and says where the damage lies.
#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "velkgen/generator.h"
#include "velkgen/random.h"

namespace velkscan::gen {

void TruncateTo(Bytes& bytes, size_t length) {
  if (length < bytes.size()) bytes.resize(length);
}

void FlipBit(Bytes& bytes, size_t offset, int bit) {
  bytes.at(offset) ^= static_cast<uint8_t>(1u << bit);
}

void ZeroBlock(Bytes& bytes, size_t offset, size_t count) {
  if (offset >= bytes.size()) return;
  const size_t end = offset + std::min(bytes.size() - offset, count);
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

std::vector<uint64_t> ZeroEveryLengthField(GeneratedStream& s, uint32_t every) {
  std::vector<uint64_t> zeroed;
  for (size_t k = every; every > 0 && k < s.frames.size(); k += every) {
    for (uint64_t bit = s.frames[k].lengthFieldBit; bit < s.frames[k].lengthFieldBit + 20; ++bit)
      zeroed.push_back(s.ByteOfBit(bit));
  }
  std::sort(zeroed.begin(), zeroed.end());
  zeroed.erase(std::unique(zeroed.begin(), zeroed.end()), zeroed.end());
  for (const uint64_t byte : zeroed) s.bytes.at(byte) = 0;
  return zeroed;
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

std::string CheckPlace(DamageKind kind, const DamagePlace& place, uint64_t size) {
  const bool placed = kind != DamageKind::Flip && kind != DamageKind::OverClaim;
  if (place.offset && !placed) return "only truncate, zero, insert and delete take a place";
  if (place.count && (!placed || kind == DamageKind::Truncate))
    return "only zero, insert and delete take a byte count";
  if (place.count && *place.count == 0) return "the byte count must be at least 1";
  // Bytes may be inserted after the last one; every other damage needs a byte there.
  const uint64_t last = kind == DamageKind::Insert ? size : size - 1;
  if (place.offset && (size == 0 || *place.offset > last))
    return "byte " + std::to_string(*place.offset) + " lies past the file's " + std::to_string(size) +
           " bytes";
  return {};
}

DamageReport ApplyDamage(GeneratedStream& s, DamageKind kind, uint64_t seed, const DamagePlace& place) {
  const uint32_t n = static_cast<uint32_t>(s.frames.size());
  if (n < 2) throw std::invalid_argument("damage needs a stream of at least 2 frames");
  if (std::string fault = CheckPlace(kind, place, s.bytes.size()); !fault.empty())
    throw std::invalid_argument(fault);
  uint64_t seedState = seed ^ 0xD1B54A32D192ED03ull;
  Rng rng(SplitMix64(seedState));
  const uint64_t headerEnd = static_cast<uint64_t>(s.headerPos) + 32;  // keep the header block readable
  const uint64_t base = static_cast<uint64_t>(s.headerPos) * 8;
  auto wordStartByte = [&](uint64_t fileBit) { return s.headerPos + ((fileBit - base) / 32) * 4; };
  // End of the word holding the last frame's last bit.
  const uint64_t dataEnd = wordStartByte(s.frames.back().EndBit() - 1) + 4;
  auto pickOffset = [&] {
    if (place.offset) return *place.offset;
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
      r.offset = place.offset ? *place.offset : std::max(headerEnd, start > back ? start - back : 0);
      const uint64_t count = place.count.value_or(4096);
      ZeroBlock(s.bytes, r.offset, count);
      r.length = std::min<uint64_t>(count, s.bytes.size() - r.offset);
      if (r.length == 4096)
        text << "4 KiB zeroed at byte " << r.offset;
      else
        text << r.length << " byte(s) zeroed at byte " << r.offset;
      break;
    }
    case DamageKind::Insert: {
      r.offset = pickOffset();
      Bytes inserted(place.count ? *place.count : 1 + rng.Below(7));
      for (auto& b : inserted) b = static_cast<uint8_t>(rng.Bits(8));
      InsertBytes(s.bytes, r.offset, inserted);
      r.length = inserted.size();
      r.shift = static_cast<int64_t>(inserted.size());
      text << inserted.size() << " byte(s) inserted at byte " << r.offset;
      break;
    }
    case DamageKind::Delete: {
      r.offset = pickOffset();
      const size_t count =
          std::min<size_t>(place.count ? *place.count : 1 + rng.Below(7), s.bytes.size() - r.offset);
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

}  // namespace velkscan::gen
