#include "decoder/framedecoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "decoder/checkingsyntax.h"
#include "decoder/referencesyntax.h"
#include "decoder/wordorder.h"

namespace velkscan {

FrameDecoder::FrameDecoder(ByteStream& s) : stream(&s) {
  // Everything starts at zero, the ring included, so a stream shorter than
  // the ring never decodes from uninitialised memory. The walk's state is
  // ResetDecoder's; the rest is set here.
  std::memset(ring, 0, sizeof ring);
  ResetDecoder();
  frameLength = 0;
  frameCount = 0;
  maxBand = headerPos = 0;
  wordsDelivered = 0;
  wordLimit = UINT64_MAX;
  fileLength = UINT32_MAX;
  fast = &SharedFastTables();

  BuildResolutionMap();
  BuildTables();
}

void FrameDecoder::BuildResolutionMap() {
  std::memset(resolutionMap, 0, sizeof resolutionMap);
  for (int n = 0; n < kSubbands; ++n) {
    // A band codes the indexes of its resolution code (0..15, 0..7 or
    // 0..3); the highest of them stands for the highest resolution.
    const int highest = static_cast<int>(kCodeTables[Sv46ResCodeFor(n)].count) - 1;
    for (int i = 0; i < highest; ++i) resolutionMap[n][i] = i;
    resolutionMap[n][highest] = kMaxResolution;
  }
}

void FrameDecoder::BuildTables() {
  HuffmanEntry* next = tableEntries;
  for (int id = 0; id < kTableCount; ++id) {
    FillAndPrepareTable(static_cast<TableId>(id), next);
    table[id] = next;
    next += kCodeTables[id].count;
  }
}

void FrameDecoder::ResetDecoder() {
  ResetBits();
  readError = false;
  ahead.valid = false;
  frameStart = 0;
  framesDecoded = 0;
  referenceWords = 0;
  streamVersion = 0;
  midSide = 0;
  noiseA = noiseB = 1;
  for (int32_t* band : {resL, resR, dscfFlagL, dscfFlagR, scfSelectL, scfSelectR, scfRefL, scfRefR, msFlag}) {
    std::fill(band, band + kSubbands, 0);
  }
  std::memset(scfIndexL, 0, sizeof scfIndexL);
  std::memset(scfIndexR, 0, sizeof scfIndexR);
  std::memset(samples, 0, sizeof samples);
}

void FrameDecoder::SeekBit(uint64_t bit) {
  wordsConsumed = static_cast<uint32_t>(bit / 32);
  bitPos = static_cast<uint32_t>(bit % 32);
  wordIndex = wordsConsumed & kRingMask;
  currentWord = ring[wordIndex];
  ahead.valid = false;
}

void FrameDecoder::Configure(const StreamInfo& info) {
  streamVersion = static_cast<int32_t>(info.streamVersion);
  midSide = static_cast<int32_t>(info.midSide);
  maxBand = static_cast<int32_t>(info.maxBand);
  frameCount = info.frameCount;
  headerPos = info.headerPos;
  fileLength = static_cast<uint32_t>(info.fileLength);
}

bool FrameDecoder::Start(const StreamInfo& info) {
  ResetDecoder();
  Configure(info);
  return SeekFirstFrame();
}

void FrameDecoder::NoteShortRead(uint32_t got, uint32_t asked) {
  if (got >= asked) return;
  // Nothing past what arrived may be decoded as frame data.
  wordLimit = std::min(wordLimit, wordsDelivered);
  if (stream->ReadError()) readError = true;
}

bool FrameDecoder::SeekFirstFrame() {
  const FirstFrame first = FirstFrameOf(streamVersion);
  if (!first.known) return false;
  const int64_t offset = int64_t{headerPos} + first.byteOffset;
  if (stream->Seek(static_cast<int32_t>(offset), kFromStart) != static_cast<uint32_t>(offset))
    readError = true;
  bitPos = first.bitPos;
  const uint32_t got = stream->Read(ring, kRingBytes);
  WordsFromLittleEndian(ring, kRingWords);
  wordsDelivered = std::min<uint32_t>(got, kRingBytes) / 4;
  // A file length of all bits set means the length could not be learnt.
  wordLimit = fileLength == UINT32_MAX       ? UINT64_MAX
              : int64_t{fileLength} > offset ? static_cast<uint64_t>(int64_t{fileLength} - offset) / 4
                                             : 0;
  NoteShortRead(got, kRingBytes);
  wordIndex = 0;
  currentWord = ring[0];
  return true;
}

void FrameDecoder::RefillRing(uint32_t savedWordIndex) {
  if (((wordIndex ^ savedWordIndex) & kRingHalfWords) == 0) return;
  uint32_t* half = ring + (savedWordIndex & kRingHalfWords);
  const uint32_t got = stream->Read(half, kRingHalfBytes);
  WordsFromLittleEndian(half, kRingHalfWords);
  wordsDelivered += std::min<uint32_t>(got, kRingHalfBytes) / 4;
  NoteShortRead(got, kRingHalfBytes);
}

uint32_t FrameDecoder::NextNoise() {
  static constexpr std::array<uint8_t, 256> ParityTable = [] {
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) t[i] = static_cast<uint8_t>(std::popcount(static_cast<unsigned>(i)) & 1);
    return t;
  }();
  const uint32_t a = (noiseA >> 1) | (uint32_t{ParityTable[noiseA & 0xF5]} << 31);
  const uint32_t b = (noiseB << 1) | ParityTable[(noiseB >> 25) & 0x63];
  noiseA = a;
  noiseB = b;
  return a ^ b;
}

bool FrameDecoder::FrameWithinFile() const {
  // The last bit consumed lies in the current word unless the reader has
  // just stepped onto it.
  const uint64_t wordsUsed = uint64_t{wordsConsumed} + (bitPos != 0 ? 1 : 0);
  return wordsUsed <= wordLimit;
}

template <bool kReference>
FrameResult FrameDecoder::CheckFrame(bool lookAhead) {
  frameLength = ReadBits(kLengthFieldBits);
  const uint32_t start = BitsConsumed();
  const StreamVersion* entry = FindStreamVersion(static_cast<uint32_t>(streamVersion));
  if (entry == nullptr) return FrameResult::kFailed;  // no frame parser
  const bool older = entry->layout == HeaderLayout::kOlder;
  if constexpr (kReference) {
    older ? ParseFrameSv46(*this) : ParseFrameSv7(*this);
  } else {
    CheckingReader reader(*this);
    if (older) {
      ParseFrameChecking<Sv46Syntax>(*this, reader, lookAhead);
    } else {
      ParseFrameChecking<Sv7Syntax>(*this, reader, lookAhead);
    }
    reader.Finish();
  }
  const uint32_t used = BitsConsumed() - start;
  return used == frameLength && FrameWithinFile() ? FrameResult::kPassed : FrameResult::kFailed;
}

FrameResult FrameDecoder::CheckNext(bool reference) {
  if (framesDecoded >= frameCount) {
    frameStart = BitsConsumed64();
    // Every declared frame passed; a header that declares none has nothing
    // that could pass.
    return frameCount != 0 ? FrameResult::kEndOfFrames : FrameResult::kFailed;
  }
  if (readError) return FrameResult::kReadError;
  const uint32_t saved = wordIndex;
  frameStart = BitsConsumed64();
  const bool lookAhead = framesDecoded + 1 < frameCount;
  const FrameResult result = reference ? CheckFrame<true>(lookAhead) : CheckFrame<false>(lookAhead);
  if (result == FrameResult::kPassed) ++framesDecoded;
  RefillRing(saved);
  // A read that failed while this frame was checked leaves the verdict
  // unsure at the least: never call the frame (or the stream) broken then.
  if (readError && (result != FrameResult::kPassed || framesDecoded < frameCount))
    return FrameResult::kReadError;
  return result;
}

template <bool kReference>
FrameAt FrameDecoder::CheckAt(uint64_t bit, bool lookAhead) {
  // A frame parsed along with the last one stays usable: its body start
  // says whether it is this frame's, and the caller clears it when it
  // rewrites the ring.
  const auto pending = ahead;
  SeekBit(bit);
  ahead = pending;
  const FrameResult result = CheckFrame<kReference>(lookAhead);
  return {result, bit + kLengthFieldBits + frameLength, BitsConsumed64()};
}

FrameAt FrameDecoder::CheckFrameAt(uint64_t bit, bool lookAhead) {
  return CheckAt<false>(bit, lookAhead);
}
FrameAt FrameDecoder::CheckFrameAtReference(uint64_t bit) {
  return CheckAt<true>(bit, false);
}

uint64_t FrameDecoder::FrameStartOffset() const {
  // Bits run from the top of each little-endian word: bit b of a word lies
  // in the word's byte 3 - b / 8.
  const FirstFrame first = FirstFrameOf(streamVersion);
  return static_cast<uint64_t>(headerPos) + static_cast<uint64_t>(first.byteOffset) + 4 * (frameStart / 32) +
         3 - (frameStart % 32) / 8;
}

}  // namespace velkscan
