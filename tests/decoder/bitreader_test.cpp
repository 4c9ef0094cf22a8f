// The bit reader: field reads in the stream's bit order, look-ahead windows,
// positioning at the first frame and the refills of the ring halves.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "decoder/framedecoder.h"
#include "support/memorystream.h"

namespace velkscan {
namespace {

// Remembers every Seek and Read the decoder makes.
class RecordingStream final : public ByteStream {
 public:
  explicit RecordingStream(std::vector<uint8_t> bytes) : inner(std::move(bytes)) {}
  uint32_t Read(void* buffer, int32_t count) override {
    reads.push_back(count);
    return inner.Read(buffer, count);
  }
  uint32_t Write(const void* buffer, int32_t count) override { return inner.Write(buffer, count); }
  uint32_t Seek(int32_t offset, int origin) override {
    seeks.push_back(offset);
    return inner.Seek(offset, origin);
  }
  uint32_t Tell() override { return inner.Tell(); }

  MemoryStream inner;
  std::vector<int32_t> seeks;
  std::vector<int32_t> reads;
};

// Bytes whose every 32-bit word holds its own index (little-endian), so a
// ring word shows which word of the file it came from.
std::vector<uint8_t> IndexedWords(uint32_t words) {
  std::vector<uint8_t> bytes(words * 4);
  for (uint32_t i = 0; i < words; ++i)
    for (int b = 0; b < 4; ++b) bytes[4 * i + b] = static_cast<uint8_t>(i >> (8 * b));
  return bytes;
}

struct Reader {
  explicit Reader(std::vector<uint8_t> bytes)
      : stream(std::move(bytes)), d(std::make_unique<FrameDecoder>(stream)) {
    d->ResetDecoder();
  }
  void Start(int32_t version, int32_t headerPos = 0) {
    StreamInfo info{};
    info.streamVersion = static_cast<uint32_t>(version);
    info.headerPos = headerPos;
    info.fileLength = static_cast<int32_t>(stream.inner.Seek(0, kFromEnd));
    d->Configure(info);
    stream.seeks.clear();
    stream.reads.clear();
    d->SeekFirstFrame();
  }
  RecordingStream stream;
  std::unique_ptr<FrameDecoder> d;
};

TEST(ReadBits, ZeroBitsReturnZeroAndChangeNothing) {
  Reader r(IndexedWords(8));
  r.Start(5);
  FrameDecoder& d = *r.d;
  for (uint32_t pos : {0u, 1u, 17u, 31u}) {
    d.bitPos = pos;
    EXPECT_EQ(d.ReadBits(0), 0u);
    EXPECT_EQ(d.bitPos, pos);
    EXPECT_EQ(d.wordIndex, 0u);
    EXPECT_EQ(d.wordsConsumed, 0u);
  }
}

TEST(ReadBits, ThirtyTwoBitsAtAndAcrossWordBoundaries) {
  Reader r(IndexedWords(8));
  r.Start(5);  // frames from byte 8: word 2 of the file is ring word 0
  FrameDecoder& d = *r.d;
  EXPECT_EQ(d.ReadBits(32), 2u);
  EXPECT_EQ(d.bitPos, 0u);
  EXPECT_EQ(d.wordIndex, 1u);
  EXPECT_EQ(d.BitsConsumed(), 32u);
  d.ReadBits(5);
  // The last 27 bits of word 3 followed by the first 5 bits of word 4.
  EXPECT_EQ(d.ReadBits(32), (3u << 5) | (4u >> 27));
  EXPECT_EQ(d.bitPos, 5u);
  EXPECT_EQ(d.BitsConsumed(), 69u);
}

TEST(ReadBits, ReadEndingOnTheWordBoundaryLeavesBitPosZeroOnTheNextWord) {
  Reader r(IndexedWords(8));
  r.Start(5);
  FrameDecoder& d = *r.d;
  d.ReadBits(20);
  EXPECT_EQ(d.ReadBits(12), 2u & 0xFFFu);
  EXPECT_EQ(d.bitPos, 0u);
  EXPECT_EQ(d.wordIndex, 1u);
  EXPECT_EQ(d.currentWord, 3u);
}

TEST(ReadBits, FileBytesComeLastByteOfTheWordFirst) {
  Reader r({0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x02, 0x03, 0x80, 0, 0, 0, 0});
  r.Start(5);
  FrameDecoder& d = *r.d;
  EXPECT_EQ(d.ReadBits(1), 1u);
  EXPECT_EQ(d.ReadBits(7), 0u);
  EXPECT_EQ(d.ReadBits(8), 3u);
  EXPECT_EQ(d.ReadBits(8), 2u);
  EXPECT_EQ(d.ReadBits(8), 1u);
}

TEST(ReadBits, SteppingFromTheLastRingWordLandsOnWordZero) {
  Reader r(IndexedWords(kRingWords + 4));
  r.Start(5);
  FrameDecoder& d = *r.d;
  d.wordIndex = kRingMask;
  d.currentWord = d.ring[kRingMask];
  d.bitPos = 30;
  // PeekWindow at word 16383 merges word 0.
  EXPECT_EQ(d.PeekWindow(14), (d.ring[kRingMask] << 30) | (d.ring[0] >> 2));
  d.ReadBits(4);
  EXPECT_EQ(d.wordIndex, 0u);
  EXPECT_EQ(d.currentWord, d.ring[0]);
  EXPECT_EQ(d.bitPos, 2u);
}

TEST(PeekWindow, MergesTheNextWordOnlyBelowTheLookAhead) {
  Reader r(IndexedWords(8));
  r.Start(5);
  FrameDecoder& d = *r.d;
  d.currentWord = 0xFFFFFFFFu;
  d.ring[1] = 0xFFFFFFFFu;
  const std::pair<uint32_t, uint32_t> thresholds[] = {{14, 18}, {10, 22}, {5, 27}, {6, 26}};
  for (const auto& [depth, threshold] : thresholds) {
    d.bitPos = threshold;
    EXPECT_EQ(d.PeekWindow(depth), 0xFFFFFFFFu << threshold) << depth;  // not merged
    d.bitPos = threshold + 1;
    EXPECT_EQ(d.PeekWindow(depth), 0xFFFFFFFFu) << depth;  // merged
    EXPECT_EQ(d.wordIndex, 0u);
  }
}

TEST(SeekFirstFrame, PositionsByStreamVersion) {
  struct Case {
    int32_t version;
    int32_t seekTo;
    uint32_t bitsConsumed;
  };
  for (const Case& c : {Case{4, 100 + 4, 16}, Case{5, 100 + 8, 0}, Case{6, 100 + 8, 0}, Case{7, 100 + 24, 8},
                        Case{23, 100 + 24, 8}}) {
    SCOPED_TRACE(c.version);
    Reader r(IndexedWords(kRingWords * 2));
    r.Start(c.version, 100);
    EXPECT_EQ(r.stream.seeks, std::vector<int32_t>{c.seekTo});
    EXPECT_EQ(r.stream.reads, std::vector<int32_t>{65536});
    EXPECT_EQ(r.d->BitsConsumed(), c.bitsConsumed);
    EXPECT_EQ(r.d->wordIndex, 0u);
    EXPECT_EQ(r.stream.inner.Tell(), static_cast<uint32_t>(c.seekTo + 65536));
  }
}

TEST(SeekFirstFrame, UnknownVersionDoesNothing) {
  for (int32_t version : {0, 3, 8, 0x16, 0x27}) {
    Reader r(IndexedWords(64));
    r.Start(version);
    EXPECT_FALSE(r.d->SeekFirstFrame());
    EXPECT_TRUE(r.stream.seeks.empty());
    EXPECT_TRUE(r.stream.reads.empty());
    EXPECT_EQ(r.d->BitsConsumed(), 0u);
  }
}

TEST(RefillRing, ReadsIntoTheHalfTheReaderHasLeft) {
  Reader r(IndexedWords(kRingWords * 3));
  r.Start(5);  // ring word i holds file word i + 2
  FrameDecoder& d = *r.d;
  r.stream.reads.clear();

  d.wordIndex = 8000;
  d.RefillRing(100);
  EXPECT_TRUE(r.stream.reads.empty());

  d.wordIndex = 8192;
  d.RefillRing(8191);  // left half 0: the block after half 1 goes there
  EXPECT_EQ(r.stream.reads, std::vector<int32_t>{32768});
  EXPECT_EQ(d.ring[0], 2u + kRingWords);
  EXPECT_EQ(d.ring[8191], 2u + kRingWords + 8191);
  EXPECT_EQ(d.ring[8192], 2u + 8192);  // the half being read is untouched

  d.wordIndex = 100;
  d.RefillRing(16000);  // wrapped into half 0: half 1 gets the next block
  EXPECT_EQ(d.ring[8192], 2u + kRingWords + 8192);
  EXPECT_EQ(d.ring[kRingMask], 2u + 2 * kRingWords - 1);
  EXPECT_EQ(d.ring[0], 2u + kRingWords);
}

TEST(RefillRing, ShortFileKeepsOlderWordsWhereNoDataArrived) {
  Reader r(IndexedWords(kRingWords - 4));
  r.Start(5);  // ring words 0..16377 hold file words 2..16379
  FrameDecoder& d = *r.d;
  EXPECT_EQ(d.ring[kRingWords - 7], kRingWords - 5);
  EXPECT_EQ(d.ring[kRingWords - 6], 0u);  // never filled: the ring starts cleared
  d.wordIndex = 8192;
  d.RefillRing(0);
  EXPECT_EQ(r.stream.reads.back(), 32768);
  EXPECT_EQ(d.ring[0], 2u);  // nothing arrived, so the old word stays
}

}  // namespace
}  // namespace velkscan
