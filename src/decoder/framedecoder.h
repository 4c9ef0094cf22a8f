// The frame decoder: bit reader over a 64 KiB ring, code tables, band arrays
// and the frame check of one stream.
//
// Every frame starts with a 20-bit field declaring how many bits its body
// occupies. The check parses the body exactly as far as the syntax goes and
// compares the bits it consumed with that declaration; the first frame that
// differs is where the file is broken. The syntax is written twice: the
// checking path (checkingsyntax.h, frontsyntax.h and samplelanes.h), which
// every scan takes, and the reference path (referencesyntax.cpp) it is
// measured and tested against.
//
// Bit order: unsigned 32-bit little-endian words counted from the header
// position, each read from its most significant bit down.
#pragma once

#include <cstdint>

#include "decoder/bitcursor.h"
#include "decoder/huffman.h"
#include "stream/bytestream.h"
#include "stream/streaminfo.h"
#include "stream/streamversion.h"

namespace velkscan {

inline constexpr uint32_t kSamplesPerFrame = 1152;  // per channel

// BitMask[n] = 2^n - 1: the only mask source of ReadBits.
inline constexpr uint32_t BitMask[33] = {
    0x00000000, 0x00000001, 0x00000003, 0x00000007, 0x0000000F, 0x0000001F, 0x0000003F,
    0x0000007F, 0x000000FF, 0x000001FF, 0x000003FF, 0x000007FF, 0x00000FFF, 0x00001FFF,
    0x00003FFF, 0x00007FFF, 0x0000FFFF, 0x0001FFFF, 0x0003FFFF, 0x0007FFFF, 0x000FFFFF,
    0x001FFFFF, 0x003FFFFF, 0x007FFFFF, 0x00FFFFFF, 0x01FFFFFF, 0x03FFFFFF, 0x07FFFFFF,
    0x0FFFFFFF, 0x1FFFFFFF, 0x3FFFFFFF, 0x7FFFFFFF, 0xFFFFFFFF};

// Where the first frame of a stream version starts: the byte offset, from
// the header position, of the word that holds its first bit, and the bits of
// that word that still belong to the header. Unknown versions hold no frames.
struct FirstFrame {
  bool known;
  int32_t byteOffset;
  uint32_t bitPos;
};

constexpr FirstFrame FirstFrameOf(int32_t streamVersion) {
  const StreamVersion* entry =
      streamVersion < 0 ? nullptr : FindStreamVersion(static_cast<uint32_t>(streamVersion));
  if (entry == nullptr) return {false, 0, 0};
  return {true, entry->firstFrameByte, entry->firstFrameBit};
}

// The outcome of the check of one frame.
enum class FrameResult {
  kPassed,       // the frame's syntax took exactly the bits it declares
  kFailed,       // it did not: the stream is broken here
  kEndOfFrames,  // every declared frame has passed; nothing was read (a header
                 // that declares no frames fails instead)
  kReadError,    // the stream could not deliver the bits: nothing is known past here
};

// A frame checked at a chosen bit (FrameDecoder::CheckFrameAt): kPassed or
// kFailed, and where its body ends by its length field and by its parse.
// Positions are stream bits, as BitsConsumed64 counts them.
struct FrameAt {
  FrameResult result;
  uint64_t declaredEnd;
  uint64_t parseEnd;
};

// The most bits one band of a frame can read whatever its bytes: a
// mid/side bit and for each channel at most a 14-bit resolution code (a
// 9-bit difference code and a 4-bit escape in version 7), a 6-bit selection
// code, three scale factors of at most 12 bits (a 6-bit code, then a 6-bit
// escape field), a set bit and 36 samples of at most 16 bits (a 14-bit code
// or the field of resolution 17).
inline constexpr uint32_t kMaxBandBits = 1 + 2 * (14 + 6 + 3 * 12 + 1 + kSamplesPerSubband * 16);
// The most bits one frame can read: the length field and every band.
inline constexpr uint32_t kMaxFrameBits = kLengthFieldBits + kSubbands * kMaxBandBits;
// A frame starts in one half of the ring and may end in the other, never
// beyond it: that is what makes one refill after each frame enough.
static_assert(kMaxFrameBits < kRingHalfWords * 32, "a frame must read less than half the ring");

struct SampleBand {
  int32_t left[kSamplesPerSubband];
  int32_t right[kSamplesPerSubband];
};

// One per scanned file; about 90 KiB, so create it on the heap.
struct FrameDecoder {
  // Stores the stream (not owned), clears the state, builds the resolution
  // map and both table sets. Reads nothing.
  explicit FrameDecoder(ByteStream& stream);
  FrameDecoder(const FrameDecoder&) = delete;
  FrameDecoder& operator=(const FrameDecoder&) = delete;
  // Reads from `next` from now on, for the next Start: one decoder serves
  // file after file without being built and cleared again. What the ring
  // still holds of the last stream is never judged: a frame that reaches
  // past the words read (wordLimit) fails whatever they hold.
  void Attach(ByteStream& next) { stream = &next; }

  // --- The frame walk: Start, then CheckNextFrame until it stops passing ---
  // Resets the decoder, takes the header's values and fills the ring from
  // the first frame. False when the stream version has no frame parser.
  bool Start(const StreamInfo& info);
  // Checks the next frame on the fast path and refills the ring half the
  // reader has left. A read error of the first fill or of any refill
  // stops the walk as soon as it happens: the frames checked so far count,
  // and nothing after them is judged.
  FrameResult CheckNextFrame() { return CheckNext(false); }
  // The same through the reference path (linear table scans, every value
  // kept): what the fast path is measured and tested against.
  FrameResult CheckNextFrameReference() { return CheckNext(true); }
  // Byte of the file that holds the first bit of the frame checked last
  // (of the next frame after kEndOfFrames).
  uint64_t FrameStartOffset() const;

  // --- One frame anywhere: for walks that go on past a failed frame ---
  // Checks the frame whose length field starts at stream bit `bit` on the
  // fast path, and leaves the walk's counters alone. The caller has put the
  // stream's words into the ring where they belong (stream word w at ring
  // index w & kRingMask) from bit's word on, a frame's reach (kMaxFrameBits)
  // of them; after Start, wordLimit still bounds what a frame may take.
  // With lookAhead the ring holds the whole half of bit's word and the half
  // after it, and the frame its length puts next is parsed along where it
  // lies in them: a later CheckFrameAt of that frame takes the parse, unless
  // the caller rewrote the ring in between (it then clears ahead.valid).
  FrameAt CheckFrameAt(uint64_t bit, bool lookAhead = false);
  // The same through the reference path.
  FrameAt CheckFrameAtReference(uint64_t bit);
  // Moves the reader to stream bit `bit` of what the ring holds.
  void SeekBit(uint64_t bit);

  // --- The steps of the walk ---
  void ResetDecoder();
  void Configure(const StreamInfo& info);
  // Positions the stream at the first frame's word and fills the whole ring.
  bool SeekFirstFrame();
  // Refills the ring half the reader has left since savedWordIndex.
  void RefillRing(uint32_t savedWordIndex);
  // The last subband a frame codes; a maximum band beyond the arrays is held
  // to them (the header reader rejects such headers; this guards direct
  // callers).
  int LastBand() const { return maxBand < kSubbands - 1 ? maxBand : kSubbands - 1; }

  // --- Bit reader ---
  void ResetBits() { currentWord = bitPos = wordIndex = wordsConsumed = 0; }
  uint32_t BitsConsumed() const { return bitPos + 32u * wordsConsumed; }
  uint64_t BitsConsumed64() const { return bitPos + uint64_t{32} * wordsConsumed; }

  void StepWord() {
    wordIndex = (wordIndex + 1) & kRingMask;
    currentWord = ring[wordIndex];
    ++wordsConsumed;
  }

  uint32_t ReadBits(uint32_t n) {
    const uint32_t p = bitPos + n;
    bitPos = p;
    if (p < 32) return p == 0 ? 0 : (currentWord >> (32 - p)) & BitMask[n];
    bitPos = p - 32;
    const uint32_t old = currentWord;
    StepWord();
    if (bitPos == 0) return old & BitMask[n];
    return ((old << bitPos) | (currentWord >> (32 - bitPos))) & BitMask[n];
  }

  // The next d (14, 10, 5 or 6) bits at the top; the following word is
  // merged only when fewer than d bits remain in currentWord.
  uint32_t PeekWindow(uint32_t d) const {
    uint32_t w = currentWord << bitPos;
    if (bitPos > 32 - d) w |= ring[(wordIndex + 1) & kRingMask] >> (32 - bitPos);
    return w;
  }

  void SkipBits(uint32_t length) {
    bitPos += length;
    if (bitPos >= 32) {
      bitPos -= 32;
      StepWord();
    }
  }

  // The reference lookup: a word of table `id`, with the look-ahead the
  // syntax names for it.
  int32_t Decode(TableId id) {
    ++referenceWords;
    return DecodeLinear(table[id], kCodeTables[id].depth);
  }
  int32_t DecodeLinear(const HuffmanEntry* table, uint32_t depth) {
    const HuffmanEntry& match = MatchLinear(table, PeekWindow(depth));
    SkipBits(match.length);
    return match.value;
  }

  uint32_t NextNoise();

  // --- Members ---
  ByteStream* stream;  // not owned

  // Bit reader. The word after the ring repeats its first word, so that the
  // sample lanes load any two neighbours at once (BitCursor::RefillPair);
  // the checking path sets it at each frame, the ring being fixed until the
  // frame is checked.
  uint32_t ring[kRingWords + 1];
  void RepeatRingStart() { ring[kRingWords] = ring[0]; }
  uint32_t currentWord;
  uint32_t bitPos;     // bits of currentWord consumed, from the top; 0..31
  uint32_t wordIndex;  // index of currentWord in ring

  // Frame check.
  uint32_t frameLength;
  uint32_t framesDecoded;
  uint64_t referenceWords;  // code words Decode has read since ResetDecoder (for timings per word)

  // Configuration from the header.
  uint32_t frameCount;
  int32_t streamVersion;
  int32_t midSide;
  int32_t maxBand;
  int32_t headerPos;

  uint32_t wordsConsumed;  // word steps since ResetBits

  // Frame bits never come from beyond the end of the file. wordLimit is the
  // number of whole 32-bit words of bitstream the file holds past the first
  // frame's word (from the file length, lowered if a read comes up short); a
  // frame that consumes a bit of a word at or past it fails. Without this,
  // stale ring words (bytes from 64 KiB earlier) could line up with an old
  // frame boundary and pass as frames past the end of a truncated file.
  uint64_t wordsDelivered;  // whole words read into the ring since SeekFirstFrame
  uint64_t wordLimit;
  uint32_t fileLength;  // from the header record; all bits set when unknown
  // The stream reported an error (not the end of the file) on a read of
  // frame data, or could not be positioned at the first frame.
  bool readError;
  uint64_t frameStart;  // BitsConsumed64 where the frame checked last began

  // The checking path parses the next frame along with the current one,
  // where the declared length puts it; its parse waits here for its turn.
  // It is made only when frameCount leaves a next frame, and it assumes
  // that the ring changes only through RefillRing until then: code that
  // rewrites the ring or moves the reader otherwise clears `valid` (as
  // ResetDecoder and SeekBit do).
  struct {
    bool valid;
    uint64_t bodyStart;  // 32 * wordsConsumed + bitPos where its body begins
    uint32_t bodyBits;   // bits its parse took
  } ahead;

  // Noise generator.
  uint32_t noiseA;
  uint32_t noiseB;

  // Band arrays of the frame being parsed.
  int32_t scfIndexL[kSubbands][3];
  int32_t scfIndexR[kSubbands][3];
  SampleBand samples[kSubbands];
  int32_t resL[kSubbands];
  int32_t resR[kSubbands];
  int32_t dscfFlagL[kSubbands];
  int32_t dscfFlagR[kSubbands];
  int32_t scfSelectL[kSubbands];
  int32_t scfSelectR[kSubbands];
  int32_t scfRefL[kSubbands];
  int32_t scfRefR[kSubbands];
  int32_t msFlag[kSubbands];

  // Code tables: the prepared entries of all 29 tables and the first entry
  // of each (the reference path), and the tables of the checking path.
  HuffmanEntry tableEntries[kTotalCodeCount];
  const HuffmanEntry* table[kTableCount];
  const FastTables* fast;

  int32_t resolutionMap[kSubbands][16];

 private:
  void BuildResolutionMap();
  void BuildTables();
  // The check of the frame at the read position: kPassed or kFailed.
  // lookAhead: the checking path may parse the next frame along with it.
  template <bool kReference>
  FrameResult CheckFrame(bool lookAhead);
  template <bool kReference>
  FrameAt CheckAt(uint64_t bit, bool lookAhead);
  FrameResult CheckNext(bool reference);
  void NoteShortRead(uint32_t got, uint32_t asked);
  bool FrameWithinFile() const;
};

}  // namespace velkscan
