// The in-place frame-count rewrite, on real files: which bytes change, how
// the header reads back, and that refused or failed repairs write nothing.
#include <gtest/gtest.h>

#include <filesystem>

#include "stream/filestream.h"
#include "stream/memorystream.h"
#include "stream/streaminfo.h"
#include "streamtest.h"

namespace velkscan {
namespace {

using test::Bytes;
using test::Concat;
using test::ReadWholeFile;
using test::Sv46Header;
using test::Sv7Header;
using test::WordAt;

// One file on disk: write it, read its header, repair it, read it back.
class RepairTest : public ::testing::Test {
 protected:
  // Writes tag + header block + frame data and reads the header.
  void Write(const Bytes& header, const Bytes& tag = {}) {
    original_ = Concat({tag, header, test::FrameData(3000, 11)});
    test::WriteWholeFile(path_, original_);
    StreamInfo info{};
    FileStream stream(OpenFileForScan(test::ToText(path_), false));
    readResult_ = ReadStreamHeader(info, stream);
    info_ = info;
  }

  // Repairs with the layout's operation, as the scan picks it by version.
  int32_t Repair(uint32_t newCount, bool writable = true) {
    FileStream stream(OpenFileForScan(test::ToText(path_), writable));
    EXPECT_NE(stream.handle(), kInvalidHandle);
    return info_.streamVersion < 7 ? RewriteFrameCountSv46(info_, stream, newCount)
                                   : RewriteFrameCountSv7(info_, stream, newCount);
  }

  StreamInfo ReadBack() {
    StreamInfo info{};
    FileStream stream(OpenFileForScan(test::ToText(path_), false));
    EXPECT_EQ(ReadStreamHeader(info, stream), 0);
    return info;
  }

  // The original file with the given bytes (at absolute offsets) replaced.
  Bytes OriginalWith(size_t offset, std::initializer_list<uint8_t> bytes) const {
    Bytes expected = original_;
    for (uint8_t b : bytes) expected.at(offset++) = b;
    return expected;
  }

  Bytes Current() const { return ReadWholeFile(path_); }

  test::ScratchDir dir_;
  std::filesystem::path path_ = dir_ / "broken.vlk";
  Bytes original_;
  StreamInfo info_{};
  int32_t readResult_ = -99;
};

TEST_F(RepairTest, Version7BrokenAfterFrame1000) {
  for (uint8_t versionByte : {0x07, 0x17}) {
    Sv7Header h;
    h.versionByte = versionByte;
    h.frameCount = 5000;
    Write(h.Build());
    ASSERT_EQ(readResult_, 0);
    const int32_t lengthBefore = info_.fileLength;

    EXPECT_EQ(Repair(1000), 0);
    EXPECT_EQ(Current(), OriginalWith(4, {0xE8, 0x03, 0x00, 0x00})) << int(versionByte);
    EXPECT_EQ(ReadBack().frameCount, 1000u);
    // The record is refreshed from the block, lengths untouched.
    EXPECT_EQ(info_.frameCount, 1000u);
    EXPECT_EQ(info_.maxBand, 27u);
    EXPECT_STREQ(info_.encoderText, "Release 1.1");
    EXPECT_EQ(info_.fileLength, lengthBefore);
    EXPECT_EQ(info_.fileLengthCopy, lengthBefore);
  }
}

TEST_F(RepairTest, Version7RefreshAppliesPeakDefaults) {
  Sv7Header h;
  h.firstPeak = 0;
  h.secondPeak = 0;
  h.maxLevel = 32767;
  h.profileIndex = 8;
  Write(h.Build());
  info_ = StreamInfo{};  // a record that lost everything but position and version
  info_.streamVersion = 7;
  EXPECT_EQ(Repair(3), 0);
  EXPECT_EQ(info_.frameCount, 3u);
  EXPECT_EQ(info_.firstPeak, 38665u);
  EXPECT_EQ(info_.secondPeak, 38665u);
  EXPECT_STREQ(info_.profileName, "'Pocket'");
  EXPECT_EQ(info_.channelCount, 2);
  EXPECT_EQ(info_.fileLength, 0);
}

TEST_F(RepairTest, OlderLayoutsReadBackAsTheReaderCounts) {
  Sv46Header h;
  h.streamVersion = 6;
  h.word1 = 500;
  Write(h.Build());
  EXPECT_EQ(Repair(10), 0);
  EXPECT_EQ(Current(), OriginalWith(4, {10, 0, 0, 0}));
  EXPECT_EQ(ReadBack().frameCount, 10u);

  h.streamVersion = 5;
  Write(h.Build());
  EXPECT_EQ(Repair(10), 0);
  EXPECT_EQ(Current(), OriginalWith(4, {10, 0, 0, 0}));
  EXPECT_EQ(ReadBack().frameCount, 9u);

  h.streamVersion = 5;
  Write(h.Build());
  EXPECT_EQ(Repair(0x01020304), 0);
  EXPECT_EQ(Current(), OriginalWith(4, {4, 3, 2, 1}));
}

TEST_F(RepairTest, Version4WritesUpperHalfOnly) {
  Sv46Header h;
  h.streamVersion = 4;
  h.word1 = 9000u << 16 | 0xCDAB;  // bytes 4-5 are frame data: AB CD
  Write(h.Build());
  ASSERT_EQ(readResult_, 0);
  ASSERT_EQ(info_.frameCount, 8999u);

  EXPECT_EQ(Repair(70000), 0);  // 70000 mod 65536 = 4464 = 0x1170
  EXPECT_EQ(Current(), OriginalWith(6, {0x70, 0x11}));
  EXPECT_EQ(WordAt(Current(), 4) & 0xFFFF, 0xCDABu);
  EXPECT_EQ(ReadBack().frameCount, 4463u);
}

TEST_F(RepairTest, OlderLayoutsNeverStoreZero) {
  // Stored 0 would read back as 0xFFFFFFFF frames; 1 reads back as 0.
  Sv46Header h;
  h.streamVersion = 5;
  h.word1 = 40;
  Write(h.Build());
  EXPECT_EQ(Repair(0), 0);
  EXPECT_EQ(Current(), OriginalWith(4, {1, 0, 0, 0}));
  EXPECT_EQ(ReadBack().frameCount, 0u);

  h.streamVersion = 4;
  h.word1 = 40u << 16 | 0x3412;
  for (uint32_t count : {0u, 65536u, 131072u, 0xFFFF0000u}) {
    Write(h.Build());
    EXPECT_EQ(Repair(count), 0) << count;
    EXPECT_EQ(Current(), OriginalWith(6, {1, 0})) << count;  // bytes 4-5 kept
    EXPECT_EQ(ReadBack().frameCount, 0u) << count;
  }

  // Version 6 reads back what is stored: 0 stays 0.
  h.streamVersion = 6;
  h.word1 = 40;
  Write(h.Build());
  EXPECT_EQ(Repair(0), 0);
  EXPECT_EQ(Current(), OriginalWith(4, {0, 0, 0, 0}));
  EXPECT_EQ(ReadBack().frameCount, 0u);
}

TEST_F(RepairTest, HeaderBehindTagIsRewrittenAtHeaderPos) {
  const uint8_t size[4] = {0x00, 0x00, 0x02, 0x01};
  const Bytes tag = test::Id3Tag(0x10, size, 267);  // 277 bytes; a v7 count would fit at 4
  Sv7Header h;
  h.frameCount = 77777;
  Write(h.Build(), tag);
  ASSERT_EQ(info_.headerPos, 277);
  EXPECT_EQ(Repair(1000), 0);
  EXPECT_EQ(Current(), OriginalWith(277 + 4, {0xE8, 0x03, 0x00, 0x00}));

  Sv46Header old;
  old.streamVersion = 4;
  old.word1 = 50u << 16 | 0xBEEF;
  Write(old.Build(), tag);
  ASSERT_EQ(info_.headerPos, 277);
  EXPECT_EQ(Repair(20), 0);
  EXPECT_EQ(Current(), OriginalWith(277 + 6, {20, 0}));
  EXPECT_EQ(ReadBack().frameCount, 19u);
}

TEST_F(RepairTest, SameCountWritesSameBytes) {
  Sv7Header v7;
  v7.frameCount = 123456;
  Write(v7.Build());
  EXPECT_EQ(Repair(123456), 0);
  EXPECT_EQ(Current(), original_);

  for (uint32_t version : {4u, 5u, 6u}) {
    Sv46Header h;
    h.streamVersion = version;
    h.word1 = 321u << 16 | 0x7777;
    Write(h.Build());
    const uint32_t stored = version == 4 ? 321u : h.word1;
    EXPECT_EQ(Repair(stored), 0) << version;
    EXPECT_EQ(Current(), original_) << version;
  }
}

TEST_F(RepairTest, OlderLayoutUsesTheVersionInTheBlock) {
  // The record says 6, the block says 4: the block decides the layout.
  Sv46Header h;
  h.streamVersion = 4;
  h.word1 = 30u << 16 | 0x1111;
  Write(h.Build());
  info_.streamVersion = 6;
  info_.maxBand = 0;
  EXPECT_EQ(Repair(25), 0);
  EXPECT_EQ(Current(), OriginalWith(6, {25, 0}));
  EXPECT_EQ(info_.streamVersion, 4u);
  EXPECT_EQ(info_.maxBand, 21u);
  EXPECT_EQ(info_.frameCount, 29u);  // only word-0 fields are refreshed
}

TEST_F(RepairTest, RefusedBlocksAreNotWritten) {
  struct Case {
    const char* what;
    uint32_t nineBitField, secondStereo, streamVersion, blockField;
    int32_t code;
  };
  const Case cases[] = {
      {"version 7", 0, 0, 7, 1, 1},     {"nine-bit field", 3, 0, 5, 1, 2},
      {"second stereo", 0, 1, 5, 1, 3}, {"block field", 0, 0, 5, 2, 4},
      {"version 3", 0, 0, 3, 1, 5},     {"version 8", 0, 0, 8, 1, 5},
      {"version 0", 0, 0, 0, 1, 5},     {"nine bits before block", 1, 0, 6, 0, 2},
  };
  for (const Case& c : cases) {
    Sv46Header h;
    h.nineBitField = c.nineBitField;
    h.secondStereo = c.secondStereo;
    h.streamVersion = c.streamVersion;
    h.blockField = c.blockField;
    h.word1 = 50u << 16 | 50u;
    Write(h.Build());
    info_ = StreamInfo{};  // the repair parses word 0 itself
    FileStream stream(OpenFileForScan(test::ToText(path_), true));
    EXPECT_EQ(RewriteFrameCountSv46(info_, stream, 10), c.code) << c.what;
    EXPECT_EQ(info_.streamVersion, c.streamVersion) << c.what;
    EXPECT_EQ(Current(), original_) << c.what;
  }
}

TEST_F(RepairTest, Version7ByteAbove0x71IsNeverWritten) {
  for (uint8_t versionByte : {0x77, 0x87, 0xF7}) {
    Sv7Header h;
    h.versionByte = versionByte;
    Write(h.Build());
    ASSERT_EQ(readResult_, 0);
    ASSERT_EQ(info_.streamVersion, versionByte);
    EXPECT_EQ(Repair(1), 0);
    EXPECT_EQ(Current(), original_) << int(versionByte);
    EXPECT_EQ(info_.frameCount, 0u);
  }
}

TEST_F(RepairTest, ShortOrFailedTransfersGiveMinus1) {
  // Read-only handle: the write moves nothing.
  Sv7Header h;
  Write(h.Build());
  EXPECT_EQ(Repair(1, /*writable=*/false), -1);
  EXPECT_EQ(Current(), original_);

  Sv46Header old;
  Write(old.Build());
  EXPECT_EQ(Repair(1, /*writable=*/false), -1);
  EXPECT_EQ(Current(), original_);

  // A block that is not whole: nothing is written, nothing grows.
  const Bytes v7 = h.Build();
  for (const Bytes& file : {Bytes(v7.begin(), v7.begin() + 31), Bytes(v7.begin(), v7.begin() + 4)}) {
    test::WriteWholeFile(path_, file);
    FileStream stream(OpenFileForScan(test::ToText(path_), true));
    StreamInfo info{};
    info.streamVersion = 7;
    EXPECT_EQ(RewriteFrameCountSv7(info, stream, 5), -1);
    EXPECT_EQ(RewriteFrameCountSv46(info, stream, 5), -1);
    EXPECT_EQ(ReadWholeFile(path_), file);
  }
}

// Wraps memory and counts seeks from the start; the n-th fails.
class NthSeekFails final : public ByteStream {
 public:
  NthSeekFails(const Bytes& bytes, int failing) : inner(bytes), failing_(failing) {}
  uint32_t Read(void* b, int32_t n) override { return inner.Read(b, n); }
  uint32_t Write(const void* b, int32_t n) override { return inner.Write(b, n); }
  uint32_t Seek(int32_t offset, int origin) override {
    if (++seeks_ == failing_) return kSeekFailed;
    return inner.Seek(offset, origin);
  }
  uint32_t Tell() override { return inner.Tell(); }
  MemoryStream inner;

 private:
  int failing_;
  int seeks_ = 0;
};

TEST(RepairSeeks, FailedPositioningGivesMinus1AndWritesNothing) {
  const Bytes v7 = Concat({Sv7Header{}.Build(), test::FrameData(64)});
  Sv46Header old;
  old.streamVersion = 5;
  const Bytes v5 = Concat({old.Build(), test::FrameData(64)});
  for (int failing : {1, 2}) {  // before the read, before the write
    StreamInfo info{};
    info.streamVersion = 7;
    NthSeekFails s7(v7, failing);
    EXPECT_EQ(RewriteFrameCountSv7(info, s7, 5), -1) << failing;
    EXPECT_EQ(s7.inner.bytes(), v7) << failing;

    StreamInfo info46{};
    NthSeekFails s46(v5, failing);
    EXPECT_EQ(RewriteFrameCountSv46(info46, s46, 5), -1) << failing;
    EXPECT_EQ(s46.inner.bytes(), v5) << failing;
  }
  // A record without a valid header position never writes anywhere.
  StreamInfo lost{};
  lost.headerPos = -1;
  lost.streamVersion = 7;
  MemoryStream stream(v7);
  EXPECT_EQ(RewriteFrameCountSv7(lost, stream, 5), -1);
  EXPECT_EQ(RewriteFrameCountSv46(lost, stream, 5), -1);
  EXPECT_EQ(stream.bytes(), v7);
}

}  // namespace
}  // namespace velkscan
