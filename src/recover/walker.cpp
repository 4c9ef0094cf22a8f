#include "recover/walker.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "decoder/wordorder.h"

namespace velkscan {

namespace {

// No frame body the syntax can produce is longer, so a larger length field
// cannot start a frame that passes.
constexpr uint32_t kMaxBodyBits = kMaxFrameBits - kLengthFieldBits;
constexpr uint64_t kBlockWords = kRingHalfWords;
// What setting up a frame parse costs, in bits parsed: a search that tries a
// position after every bit pays it each time.
constexpr uint64_t kParseSetupBits = 256;

}  // namespace

Walker::Walker(ByteStream& stream, const StreamInfo& info, uint32_t declared,
               const std::function<bool()>& stopped)
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

bool Walker::Decode(uint64_t bit, Frame& f) {
  if (bit + kLengthFieldBits + 1 > fileBits_ || !Ensure(bit / 32)) return false;
  const FrameAt frame = d_->CheckFrameAt(bit);
  f.passed = frame.result == FrameResult::kPassed;
  f.declaredEnd = frame.declaredEnd;
  f.parseEnd = frame.parseEnd;
  work_ += (f.parseEnd > bit ? f.parseEnd - bit : 0) + kParseSetupBits;
  return true;
}

bool Walker::RunHolds(uint64_t bit, uint32_t frame, bool numbersKnown, uint32_t need) {
  for (uint32_t n = 0;; ++n) {
    if (numbersKnown && uint64_t{frame} + n >= declared_) return true;
    if (n > 0 && AtCleanEnd(bit)) return true;
    if (n >= need) return true;
    Frame f;
    if (!Decode(bit, f) || !f.passed) return false;
    bit = f.declaredEnd;
  }
}

// A candidate must first have three plausible length fields in a row (or
// fewer, ending at the end of the file), which rules out nearly every
// position cheaply.
uint64_t Walker::Search(uint64_t from) {
  for (uint64_t word = from / 32; word * 32 + kLengthFieldBits + 1 <= fileBits_; ++word) {
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
      const uint32_t length = static_cast<uint32_t>((pair << off) >> (64 - kLengthFieldBits));
      if (length == 0 || length > kMaxBodyBits) continue;
      const uint64_t bit = word * 32 + off;
      if (!Plausible(bit + kLengthFieldBits + length, 2)) continue;
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

// depth more length fields in a row that a frame could have (or the end
// of the file); every bit looked at lies within the two loaded blocks.
bool Walker::Plausible(uint64_t bit, int depth) {
  for (; depth > 0; --depth) {
    if (bit + kLengthFieldBits + 1 > fileBits_) return true;
    const uint32_t length = LengthField(bit);
    if (length == 0 || length > kMaxBodyBits) return false;
    bit += kLengthFieldBits + length;
  }
  return true;
}

bool Walker::ZeroBlock(uint64_t word) const {
  static const uint32_t kZeros[kBlockWords] = {};
  return std::memcmp(d_->ring + (word / kBlockWords & 1) * kRingHalfWords, kZeros, sizeof kZeros) == 0;
}

uint32_t Walker::LengthField(uint64_t bit) const {
  const uint64_t word = bit / 32;
  const uint64_t pair = uint64_t{d_->ring[word & kRingMask]} << 32 | d_->ring[(word + 1) & kRingMask];
  return static_cast<uint32_t>((pair << (bit % 32)) >> (64 - kLengthFieldBits));
}

// Blocks word / kBlockWords and the one after it in the ring.
bool Walker::Ensure(uint64_t word) {
  if (failed()) return false;
  const uint64_t block = word / kBlockWords;
  return Load(block) && Load(block + 1);
}

bool Walker::Load(uint64_t block) {
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
  WordsFromLittleEndian(half, kRingHalfWords);
  slot = block;
  return true;
}

}  // namespace velkscan
