#include "decoder/framedecoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "decoder/framesyntax.h"
#include "decoder/wordorder.h"

namespace velkscan {

FrameDecoder::FrameDecoder(ByteStream& s) : stream(s) {
  // Everything starts at zero, the ring included, so a stream shorter than
  // the ring never decodes from uninitialised memory.
  std::memset(ring, 0, sizeof ring);
  currentWord = bitPos = wordIndex = wordsConsumed = 0;
  frameLength = 0;
  frameOk = 0;
  framesDecoded = frameCount = 0;
  streamVersion = midSide = maxBand = headerPos = 0;
  wordsDelivered = 0;
  wordLimit = UINT64_MAX;
  fileLength = UINT32_MAX;
  readError = false;
  ahead.valid = false;
  frameStart = 0;
  noiseA = noiseB = 1;
  std::memset(scfIndexL, 0, sizeof scfIndexL);
  std::memset(scfIndexR, 0, sizeof scfIndexR);
  std::memset(samples, 0, sizeof samples);
  for (int32_t* band : {resL, resR, dscfFlagL, dscfFlagR, scfSelectL, scfSelectR, scfRefL, scfRefR, msFlag}) {
    std::fill(band, band + kSubbands, 0);
  }
  fast = &SharedFastTables();

  BuildResolutionMap();
  BuildSv46Tables();
  BuildSv7Tables();
}

void FrameDecoder::BuildResolutionMap() {
  std::memset(resolutionMap, 0, sizeof resolutionMap);
  for (int n = 0; n < kSubbands; ++n) {
    // Bands 0..10 code indexes 0..15, bands 11..22 indexes 0..7, the rest
    // 0..3; the highest index of each group stands for resolution 17.
    const int highest = n <= 10 ? 15 : n <= 22 ? 7 : 3;
    for (int i = 0; i < highest; ++i) resolutionMap[n][i] = i;
    resolutionMap[n][highest] = 17;
  }
}

void FrameDecoder::BuildSv46Tables() {
  HuffmanEntry* next = tableEntries;
  for (int id = Sv46ResCodeA; id <= Sv46SampleCodeRes7; ++id) {
    FillAndPrepareTable(static_cast<TableId>(id), next);
    table[id] = next;
    next += kCodeTables[id].count;
  }
  std::fill(std::begin(Sv46SampleTables), std::end(Sv46SampleTables), nullptr);
  for (int r = 1; r <= 7; ++r) Sv46SampleTables[r] = table[Sv46SampleCodeRes1 + r - 1];
}

void FrameDecoder::BuildSv7Tables() {
  HuffmanEntry* next = tableEntries;
  for (int id = Sv46ResCodeA; id < Sv7ResDeltaCode; ++id) next += kCodeTables[id].count;
  for (int id = Sv7ResDeltaCode; id < kTableCount; ++id) {
    FillAndPrepareTable(static_cast<TableId>(id), next);
    table[id] = next;
    next += kCodeTables[id].count;
  }
  for (int set = 0; set < 2; ++set) {
    Sv7SampleTables[set][0] = nullptr;
    for (int r = 1; r <= 7; ++r) Sv7SampleTables[set][r] = table[Sv7SampleTableId(set, r)];
  }
}

void FrameDecoder::ResetDecoder() {
  ResetBits();
  readError = false;
  ahead.valid = false;
  frameStart = 0;
  framesDecoded = 0;
  streamVersion = 0;
  midSide = 0;
  for (int32_t* band : {resL, resR, dscfFlagL, dscfFlagR, scfSelectL, scfSelectR, scfRefL, scfRefR, msFlag}) {
    std::fill(band, band + kSubbands, 0);
  }
  std::memset(scfIndexL, 0, sizeof scfIndexL);
  std::memset(scfIndexR, 0, sizeof scfIndexR);
  std::memset(samples, 0, sizeof samples);
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
  if (stream.ReadError()) readError = true;
}

bool FrameDecoder::SeekFirstFrame() {
  const FirstFrame first = FirstFrameOf(streamVersion);
  if (!first.known) return false;
  const int64_t offset = int64_t{headerPos} + first.byteOffset;
  if (stream.Seek(static_cast<int32_t>(offset), kFromStart) != static_cast<uint32_t>(offset))
    readError = true;
  bitPos = first.bitPos;
  const uint32_t got = stream.Read(ring, kRingBytes);
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
  const uint32_t got = stream.Read(half, kRingHalfBytes);
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

template <class Reader>
uint32_t FrameDecoder::CheckFrame() {
  if (framesDecoded >= frameCount) return 0;
  frameLength = ReadBits(20);
  const uint32_t start = BitsConsumed();
  Reader reader(*this);
  const StreamVersion* entry = FindStreamVersion(static_cast<uint32_t>(streamVersion));
  if (entry == nullptr) return 0;
  if (entry->layout == HeaderLayout::kOlder) {
    ParseFrameSv46(*this, reader);
  } else {
    ParseFrameSv7(*this, reader);
  }
  reader.Finish();
  const uint32_t used = BitsConsumed() - start;
  frameOk = used == frameLength && FrameWithinFile() ? 1 : 0;
  if (frameOk == 1) return ++framesDecoded;
  return framesDecoded;
}

FrameResult FrameDecoder::CheckNext(bool reference) {
  if (framesDecoded >= frameCount) {
    frameStart = BitsConsumed64();
    // A header that declares no frames has nothing that could pass.
    return frameOk == 1 ? FrameResult::kEndOfFrames : FrameResult::kFailed;
  }
  if (readError) return FrameResult::kReadError;
  const uint32_t saved = wordIndex;
  frameStart = BitsConsumed64();
  frameOk = 0;
  if (reference) {
    DecodeFrameReference();
  } else {
    DecodeFrame();
  }
  RefillRing(saved);
  // A read that failed while this frame was checked leaves the verdict
  // unsure at the least: never call the frame (or the stream) broken then.
  if (readError && (frameOk == 0 || framesDecoded < frameCount)) return FrameResult::kReadError;
  return frameOk == 1 ? FrameResult::kPassed : FrameResult::kFailed;
}

uint64_t FrameDecoder::FrameStartOffset() const {
  // Bits run from the top of each little-endian word: bit b of a word lies
  // in the word's byte 3 - b / 8.
  const FirstFrame first = FirstFrameOf(streamVersion);
  return static_cast<uint64_t>(headerPos) + static_cast<uint64_t>(first.byteOffset) + 4 * (frameStart / 32) +
         3 - (frameStart % 32) / 8;
}

uint32_t FrameDecoder::DecodeFrame() {
  return CheckFrame<CheckingReader>();
}
uint32_t FrameDecoder::DecodeFrameReference() {
  return CheckFrame<ReferenceReader>();
}

}  // namespace velkscan
