#include "recover/walker.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

#include "decoder/wordorder.h"
#include "stream/streamversion.h"

namespace velkscan {

namespace {

constexpr uint64_t kBlockWords = kRingHalfWords;
// What the walk's steps cost, in bits of a check (the unit of its budget,
// damagemap.h), measured by instructions. Setting up a frame parse: a search
// that tries a position after every bit pays it each time.
constexpr uint64_t kParseSetupBits = 1024;
// Looking at a word for length fields, each place in it where one could
// start, and each such field whose frame could end in the file.
constexpr uint64_t kScanWordBits = 8;
constexpr uint64_t kScanStartBits = 6;
constexpr uint64_t kPlausibleBits = 24;
// Weighing a length field among the bytes around it, and counting the
// bytes of a block for that.
constexpr uint64_t kWeighBits = 1600;
constexpr uint64_t kCountBitsPerByte = 2;

// How far each alignment is searched before the next takes its turn.
constexpr uint64_t kSearchWindowBlocks = 4;

uint64_t BitsOf(uint64_t words) {
  return words >= (uint64_t{1} << 40) ? uint64_t{1} << 45 : words * 32;
}

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
  // The whole words each alignment holds: one fewer where the file's length
  // is not known and the alignment starts past the stream's first byte.
  const uint64_t limit = d_->wordLimit;
  const auto length = static_cast<uint32_t>(info.fileLength);
  const uint64_t past = length > static_cast<uint64_t>(base_) ? length - static_cast<uint64_t>(base_) : 0;
  for (uint32_t a = 0; a < 4; ++a) {
    if (limit == UINT64_MAX || a == 0)
      wordLimits_[a] = limit;
    else if (length != UINT32_MAX)
      wordLimits_[a] = std::min(limit, past >= a ? (past - a) / 4 : 0);
    else
      wordLimits_[a] = limit > 0 ? limit - 1 : 0;
  }
  fileBits_ = BitsOf(limit);
  budget_ = SearchBudget(fileBits_);
  // What a frame of this stream can be: no longer than its bands can hold,
  // and no shorter than their resolutions (a code is a bit at least):
  // versions 4 to 6 two codes per band and the mid/side bit, version 7 two
  // 4-bit fields in band 0 and two codes in each band after it.
  const uint32_t bands = static_cast<uint32_t>(std::max(d_->LastBand(), 0)) + 1;
  maxBody_ = bands * kMaxBandBits;
  const StreamVersion* version = FindStreamVersion(info.streamVersion);
  minBody_ = version != nullptr && version->layout == HeaderLayout::kOlder
                 ? bands * (2 + (d_->midSide == 1 ? 1 : 0))
                 : 8 + 2 * (bands - 1);
  // The walk's own set-up (its decoder, its first blocks) is as costly as a check's.
  work_ = kSetupBits;
  loaded_[0] = 0;
  loaded_[1] = 1;
}

bool Walker::Decode(uint64_t bit, Frame& f, bool alongNext) {
  if (bit + kLengthFieldBits + 1 > fileBits_ || !Ensure(bit / 32)) return false;
  const FrameAt frame = d_->CheckFrameAt(bit, alongNext);
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

void Walker::SetAlign(uint32_t a) {
  if (a == align_) return;
  align_ = a;
  d_->ahead.valid = false;
  d_->wordLimit = wordLimits_[a];
  fileBits_ = BitsOf(wordLimits_[a]);
  loaded_[0] = loaded_[1] = kNone;
}

// Chance gives a passing frame in data that is not the stream once in 2^20
// positions when its bytes are as varied as the stream's: the 20-bit length
// field must equal the bits its body's parse took, and the parse never reads
// the field. A frame found there counts as 20 bits of evidence, and a run
// after trying P positions is taken when its evidence reaches kFalseMatchBits
// + log2 P: three frames always (a 32-bit position reaches 2^37 positions in
// four alignments), two within 2^20 positions of where the search began.
//
// In data with little in it (sparse bytes, mostly zero) a field's bits are
// far from even odds and frames pass far more often, so each frame counts
// only the information its field carries among the bytes around it
// (FieldInformation), and such data needs a longer run.
//
// A run that ends within the file's last word (not past it) is weighed by
// where it ends instead: summed over all positions, the chance that such a
// run ends there is at most 32 * 2^-evidence, however many were tried, so
// it takes 5 + kEndMatchBits: two frames of a stream. A last frame alone
// behind damage is left to the walk's step over the failed frame
// (MapDamage), which tries one place, not every place.
bool Walker::Accepted(uint64_t bit, uint64_t tried) {
  const double need = kFalseMatchBits + std::bit_width(tried);
  for (double evidence = 0;;) {
    if (evidence >= need) return true;
    if (evidence > 0 && AtCleanEnd(bit)) return evidence >= kEndMatchBits + 5 && bit <= fileBits_;
    Frame f;
    if (!Decode(bit, f) || !f.passed) return false;
    evidence += FieldInformation(bit);
    bit = f.declaredEnd;
  }
}

// -log2 of the share of the blocks' bytes that agree with each byte of the
// field on the bits it covers (a byte value never seen counts once, which
// keeps short data from looking surprising). On random bytes the estimate
// is within a few tenths of a bit of 20; kFieldSlackBits lets a stream's
// frames count whole.
double Walker::FieldInformation(uint64_t bit) {
  constexpr double kFieldSlackBits = 1;
  uint64_t counts[256];
  uint64_t total = 256;
  for (uint32_t v = 0; v < 256; ++v) counts[v] = 1;
  for (uint32_t half = 0; half < 2; ++half) {
    if (loaded_[half] == kNone) continue;
    const uint32_t bytes = BlockBytes(loaded_[half]);
    uint32_t* byHalf = byteCounts_[half];
    if (!counted_[half]) {
      work_ += kCountBitsPerByte * bytes;
      std::fill_n(byHalf, 256, 0u);
      const uint32_t* words = d_->ring + half * kRingHalfWords;
      for (uint32_t i = 0; i < bytes / 4; ++i)
        for (uint32_t shift = 0; shift < 32; shift += 8) ++byHalf[words[i] >> shift & 0xFF];
      counted_[half] = true;
    }
    for (uint32_t v = 0; v < 256; ++v) counts[v] += byHalf[v];
    total += bytes;
  }
  work_ += kWeighBits;
  double information = 0;
  for (uint64_t byte = bit / 8; byte * 8 < bit + kLengthFieldBits; ++byte) {
    const uint32_t word = d_->ring[(byte / 4) & kRingMask];
    const uint32_t value = word >> (24 - 8 * (byte % 4)) & 0xFF;
    // The byte's bits inside the field, counted from its top bit.
    const uint64_t from = std::max(bit, byte * 8) - byte * 8;
    const uint64_t to = std::min(bit + kLengthFieldBits, byte * 8 + 8) - byte * 8;
    const uint32_t mask = (0xFFu >> from) & (0xFFu << (8 - to)) & 0xFF;
    uint64_t agree = 0;
    for (uint32_t v = 0; v < 256; ++v)
      if ((v & mask) == (value & mask)) agree += counts[v];
    information -= std::log2(static_cast<double>(agree) / static_cast<double>(total));
  }
  return std::min<double>(kLengthFieldBits, information + kFieldSlackBits);
}

// The alignments are searched a window of blocks at a time, the stream's
// own first: a stream found again in its own alignment costs little more
// than before, and one moved by a byte shift is found near the damage rather
// than behind a search of the whole rest of the file. A window that holds
// only blocks of zeros in the stream's alignment holds no frame in another.
uint64_t Walker::Search(uint64_t from) {
  tried_ = 0;
  const uint32_t home = align_;
  const uint64_t fromByte = home + 4 * (from / 32);  // the word of `from`, from the stream's first word
  uint64_t at[4];
  for (uint32_t a = 0; a < 4; ++a) at[a] = a == home ? from : fromByte >= a ? (fromByte - a) / 4 * 32 : 0;
  for (uint64_t endBlock = from / 32 / kBlockWords + kSearchWindowBlocks;; endBlock += kSearchWindowBlocks) {
    uint64_t bestByte = kNone, bestBit = 0;
    uint32_t bestAlign = home;
    bool more = false, zerosOnly = false;
    for (uint32_t step = 0; step < 4; ++step) {
      // Taken in only when searched: each change of alignment reads the window again.
      const uint32_t a = (home + step) % 4;
      const uint64_t bits = BitsOf(wordLimits_[a]);
      const uint64_t windowEnd = std::min(bits, endBlock * kBlockWords * 32);
      more = more || windowEnd < bits;
      if (zerosOnly && windowEnd > kBlockWords * 32) at[a] = std::max(at[a], windowEnd - kBlockWords * 32);
      if (zerosOnly || (step > 0 && bestAlign == home && bestByte != kNone)) continue;
      uint64_t until = windowEnd;
      if (bestByte != kNone) until = std::min(until, bestByte >= a ? (bestByte - a + 3) / 4 * 32 : 0);
      if (at[a] >= until) continue;
      SetAlign(a);
      const uint64_t bit = SearchIn(at[a], until);
      if (limited_ || failed() || Stopped()) {
        SetAlign(home);
        return fileBits_;
      }
      at[a] = until;
      zerosOnly = step == 0 && zerosOnly_;
      if (bit < fileBits_ && a + 4 * (bit / 32) < bestByte) {
        bestByte = a + 4 * (bit / 32);
        bestBit = bit;
        bestAlign = a;
      }
    }
    if (bestByte != kNone) {
      SetAlign(bestAlign);
      return bestBit;
    }
    if (!more) {
      SetAlign(home);
      return fileBits_;
    }
  }
}

// A candidate must first have three plausible length fields in a row (or
// fewer, ending at the end of the file), which rules out nearly every
// position cheaply: each a length a frame of the stream can have, the first
// two ending within the file (the two frames any run taken needs). The
// budget is looked at for each word.
uint64_t Walker::SearchIn(uint64_t from, uint64_t untilBit) {
  uint64_t word = from / 32;
  zerosOnly_ = from % (kBlockWords * 32) == 0;
  auto done = [&](uint64_t result) {
    tried_ += word * 32 > from ? word * 32 - from : 0;
    return result;
  };
  for (; word * 32 + kLengthFieldBits + 1 <= fileBits_ && word * 32 < untilBit; ++word) {
    if (work_ > budget_) {
      limited_ = true;
      return done(fileBits_);
    }
    work_ += kScanWordBits;
    if (word % kBlockWords == 0 || word == from / 32) {
      if (Stopped() || !Ensure(word)) return done(fileBits_);
      // A block of zero words (a hole in the file) holds no length field
      // but perhaps in its last word, which reaches into the next block.
      if (word % kBlockWords == 0 && (word + kBlockWords) * 32 <= fileBits_ && ZeroBlock(word)) {
        word += kBlockWords - 2;
        continue;
      }
      zerosOnly_ = zerosOnly_ && word % kBlockWords == kBlockWords - 1;
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
    work_ += kScanStartBits * static_cast<uint64_t>(std::popcount(starts));
    while (starts != 0) {
      const auto off = static_cast<uint32_t>(std::countl_zero(starts));
      starts &= ~(uint64_t{1} << (63 - off));
      const uint32_t length = static_cast<uint32_t>((pair << off) >> (64 - kLengthFieldBits));
      if (length < minBody_ || length > maxBody_) continue;
      const uint64_t bit = word * 32 + off;
      work_ += kPlausibleBits;
      if (!Plausible(bit + kLengthFieldBits + length, 2)) continue;
      if (work_ > budget_) {
        limited_ = true;
        return done(fileBits_);
      }
      if (Accepted(bit, tried_ + (bit - from) + 1)) return done(bit);
      if (readError_ || !Ensure(word)) return done(fileBits_);  // the run may have moved the window
    }
  }
  return done(fileBits_);
}

// The frame that ends at bit ends within the file's words, as one that
// passes must, and depth more length fields follow that a frame of the
// stream could have, each frame but the last ending within the file too (or
// the file ends); every bit looked at lies within the two loaded blocks.
bool Walker::Plausible(uint64_t bit, int depth) {
  for (; depth > 0; --depth) {
    if (bit > fileBits_) return false;
    if (AtCleanEnd(bit)) return true;  // the padding after the last frame
    const uint32_t length = LengthField(bit);
    if (length < minBody_ || length > maxBody_) return false;
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

// The whole words of the file that block holds in the current alignment, in bytes.
uint32_t Walker::BlockBytes(uint64_t block) const {
  const uint64_t firstWord = block * kBlockWords;
  return fileBits_ / 32 > firstWord
             ? static_cast<uint32_t>(std::min(kBlockWords, fileBits_ / 32 - firstWord) * 4)
             : 0;
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
  counted_[block & 1] = false;
  d_->ahead.valid = false;  // a frame parsed along may lie in the half rewritten
  const uint64_t firstWord = block * kBlockWords;
  if (firstWord * 32 >= fileBits_) return true;  // nothing of the file there
  const uint32_t expected = BlockBytes(block);
  uint32_t* half = d_->ring + (block & 1) * kRingHalfWords;
  const int64_t offset = base_ + align_ + static_cast<int64_t>(firstWord * 4);
  if (static_cast<uint64_t>(offset) > kLastReachableByte) {
    outOfReach_ = true;
    readErrorByte_ = static_cast<uint64_t>(offset);
    return false;
  }
  work_ += expected * 8;
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
