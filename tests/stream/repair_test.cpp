// The in-place frame-count rewrite, on real files: which bytes change (every
// other byte of the file compared), how the header reads back, and that
// refused or failed repairs write nothing.
#include <gtest/gtest.h>

#include "platform/filestream.h"
#include "stream/streaminfo.h"
#include "streamtest.h"

namespace velkscan {
namespace {

using test::Bytes;
using test::Sv46Header;
using test::Sv7Header;

// One file on disk: write it, read its header, repair it, read it back.
class RepairTest : public ::testing::Test {
 protected:
  // Writes tag + header block + frame data and reads the header.
  void Write(const Bytes& header, const Bytes& tag = {}) {
    original_ = test::Concat({tag, header, test::FrameData(3000, 11)});
    test::WriteBytes(path_, original_);
    FileStream stream(Open(false));
    info_ = StreamInfo{};
    ASSERT_EQ(ReadStreamHeader(info_, stream), 0);
  }

  NativeHandle Open(bool writable) { return OpenFileForScan(test::ToText(path_), writable); }

  // Repairs with the layout's operation, picked by version as the scan does.
  int32_t Repair(uint32_t newCount, bool writable = true) {
    FileStream stream(Open(writable));
    return info_.streamVersion < 7 ? RewriteFrameCountSv46(info_, stream, newCount)
                                   : RewriteFrameCountSv7(info_, stream, newCount);
  }

  uint32_t ReadBackCount() {
    StreamInfo info{};
    FileStream stream(Open(false));
    EXPECT_EQ(ReadStreamHeader(info, stream), 0);
    return info.frameCount;
  }

  // The original file with bytes from an absolute offset replaced.
  Bytes OriginalWith(size_t offset, const Bytes& bytes) const {
    Bytes expected = original_;
    for (uint8_t b : bytes) expected.at(offset++) = b;
    return expected;
  }

  Bytes Current() const { return test::ReadBytes(path_); }

  test::ScratchDir dir_;
  test::fs::path path_ = dir_ / "broken.vlk";
  Bytes original_;
  StreamInfo info_{};
};

Bytes V7(uint8_t versionByte, uint32_t frameCount) {
  return Sv7Header{.versionByte = versionByte, .frameCount = frameCount}.Build();
}

Bytes Old(uint32_t version, uint32_t word1) {
  return Sv46Header{.streamVersion = version, .word1 = word1}.Build();
}

TEST_F(RepairTest, ChangesOnlyTheCountBytes) {
  const uint8_t size[4] = {0x00, 0x00, 0x02, 0x01};
  const Bytes tag277 = test::Id3Tag(0x10, size, 267);
  const struct {
    const char* what;
    Bytes header, tag;
    uint32_t count;
    size_t offset;  // of the bytes that change
    Bytes written;
    uint32_t readBack;
  } cases[] = {
      {"version 7 after frame 1000", V7(0x07, 5000), {}, 1000, 4, {0xE8, 0x03, 0x00, 0x00}, 1000},
      {"version byte 0x17", V7(0x17, 5000), {}, 1000, 4, {0xE8, 0x03, 0x00, 0x00}, 1000},
      {"version 6", Old(6, 500), {}, 10, 4, {10, 0, 0, 0}, 10},
      {"version 5 reads back one less", Old(5, 500), {}, 10, 4, {10, 0, 0, 0}, 9},
      {"version 5, all four bytes", Old(5, 500), {}, 0x01020304, 4, {4, 3, 2, 1}, 0x01020303},
      // 70000 mod 65536 = 4464 = 0x1170; bytes 4-5 are frame data and stay.
      {"version 4, upper half", Old(4, 9000u << 16 | 0xCDAB), {}, 70000, 6, {0x70, 0x11}, 4463},
      // Stored 0 would read back as 0xFFFFFFFF frames: 1 is stored, read back 0.
      {"version 5, count 0", Old(5, 40), {}, 0, 4, {1, 0, 0, 0}, 0},
      {"version 4, count 0", Old(4, 40u << 16 | 0x3412), {}, 0, 6, {1, 0}, 0},
      {"version 4, count 65536", Old(4, 40u << 16 | 0x3412), {}, 65536, 6, {1, 0}, 0},
      {"version 4, count 0xFFFF0000", Old(4, 40u << 16 | 0x3412), {}, 0xFFFF0000, 6, {1, 0}, 0},
      {"version 6 reads back what is stored", Old(6, 40), {}, 0, 4, {0, 0, 0, 0}, 0},
      // Behind a tag at headerPos 277, not at offset 0.
      {"version 7 behind a tag", V7(0x07, 77777), tag277, 1000, 277 + 4, {0xE8, 0x03, 0x00, 0x00}, 1000},
      {"version 4 behind a tag", Old(4, 50u << 16 | 0xBEEF), tag277, 20, 277 + 6, {20, 0}, 19},
      // The count the header holds: the same bytes.
      {"same count, version 7", V7(0x07, 123456), {}, 123456, 0, {}, 123456},
      {"same count, version 6",
       Old(6, 321u << 16 | 0x7777),
       {},
       321u << 16 | 0x7777,
       0,
       {},
       321u << 16 | 0x7777},
      {"same count, version 5",
       Old(5, 321u << 16 | 0x7777),
       {},
       321u << 16 | 0x7777,
       0,
       {},
       321u << 16 | 0x7776},
      {"same count, version 4", Old(4, 321u << 16 | 0x7777), {}, 321, 0, {}, 320},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Write(c.header, c.tag);
    const int32_t lengthBefore = info_.fileLength;
    EXPECT_EQ(Repair(c.count), 0);
    EXPECT_EQ(Current(), OriginalWith(c.offset, c.written));
    EXPECT_EQ(ReadBackCount(), c.readBack);
    EXPECT_EQ(info_.fileLength, lengthBefore);
    EXPECT_EQ(info_.fileLengthCopy, lengthBefore);
  }
}

TEST_F(RepairTest, Version7RefreshesTheRecordFromTheBlock) {
  Write(Sv7Header{.profileIndex = 8, .maxLevel = 32767, .firstPeak = 0, .secondPeak = 0}.Build());
  info_ = StreamInfo{};  // a record that lost everything but position and version
  info_.streamVersion = 7;
  EXPECT_EQ(Repair(3), 0);
  EXPECT_EQ(info_.frameCount, 3u);
  EXPECT_EQ(info_.maxBand, 27u);
  EXPECT_EQ(info_.firstPeak, 38665u);
  EXPECT_EQ(info_.secondPeak, 38665u);
  EXPECT_STREQ(info_.profileName, "'Pocket'");
  EXPECT_STREQ(info_.encoderText, "Release 1.1");
  EXPECT_EQ(info_.channelCount, 2);
  EXPECT_EQ(info_.fileLength, 0);  // lengths are never refreshed
}

TEST_F(RepairTest, OlderLayoutUsesTheVersionInTheBlock) {
  // The record says 6, the block says 4: the block decides the layout.
  Write(Old(4, 30u << 16 | 0x1111));
  info_.streamVersion = 6;
  info_.maxBand = 0;
  EXPECT_EQ(Repair(25), 0);
  EXPECT_EQ(Current(), OriginalWith(6, {25, 0}));
  EXPECT_EQ(info_.streamVersion, 4u);
  EXPECT_EQ(info_.maxBand, 21u);
  EXPECT_EQ(info_.frameCount, 29u);  // only word-0 fields are refreshed
}

TEST_F(RepairTest, RefusedBlocksAreNotWritten) {
  const struct {
    const char* what;
    uint32_t nineBitField, secondStereo, streamVersion, blockField;
    int32_t code;
  } cases[] = {
      {"version 7", 0, 0, 7, 1, 1},     {"nine-bit field", 3, 0, 5, 1, 2},
      {"second stereo", 0, 1, 5, 1, 3}, {"block field", 0, 0, 5, 2, 4},
      {"version 3", 0, 0, 3, 1, 5},     {"version 8", 0, 0, 8, 1, 5},
      {"version 0", 0, 0, 0, 1, 5},     {"nine bits before block", 1, 0, 6, 0, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    original_ = Sv46Header{.nineBitField = c.nineBitField,
                           .secondStereo = c.secondStereo,
                           .streamVersion = c.streamVersion,
                           .blockField = c.blockField}
                    .Build();
    test::WriteBytes(path_, original_);
    info_ = StreamInfo{};  // the repair parses word 0 itself
    FileStream stream(Open(true));
    EXPECT_EQ(RewriteFrameCountSv46(info_, stream, 10), c.code);
    EXPECT_EQ(info_.streamVersion, c.streamVersion);
    EXPECT_EQ(Current(), original_);
  }
  // A version-7 byte above 0x71 was never parsed: never written.
  for (uint8_t versionByte : {0x77, 0x87, 0xF7}) {
    Write(V7(versionByte, 100));
    EXPECT_EQ(Repair(1), 0) << int(versionByte);
    EXPECT_EQ(Current(), original_) << int(versionByte);
    EXPECT_EQ(info_.frameCount, 0u);
  }
}

TEST_F(RepairTest, FailedTransfersGiveMinus1AndWriteNothing) {
  // A read-only handle: the write moves nothing.
  for (const Bytes& header : {V7(0x07, 100), Old(6, 100)}) {
    Write(header);
    EXPECT_EQ(Repair(1, /*writable=*/false), -1);
    EXPECT_EQ(Current(), original_);
  }
  // A block that is not whole: nothing written, nothing grows.
  const Bytes v7 = V7(0x07, 100);
  for (const Bytes& file : {Bytes(v7.begin(), v7.begin() + 31), Bytes(v7.begin(), v7.begin() + 4)}) {
    test::WriteBytes(path_, file);
    FileStream stream(Open(true));
    StreamInfo info{};
    info.streamVersion = 7;
    EXPECT_EQ(RewriteFrameCountSv7(info, stream, 5), -1);
    EXPECT_EQ(RewriteFrameCountSv46(info, stream, 5), -1);
    EXPECT_EQ(Current(), file);
  }
  // A failed seek before the read or before the write.
  const Bytes old = test::Concat({Old(5, 100), test::FrameData(64)});
  for (int failing : {1, 2}) {
    StreamInfo info{};
    info.streamVersion = 7;
    test::FailingSeek s7(v7, failing);
    EXPECT_EQ(RewriteFrameCountSv7(info, s7, 5), -1) << failing;
    EXPECT_EQ(s7.inner.bytes(), v7) << failing;
    StreamInfo info46{};
    test::FailingSeek s46(old, failing);
    EXPECT_EQ(RewriteFrameCountSv46(info46, s46, 5), -1) << failing;
    EXPECT_EQ(s46.inner.bytes(), old) << failing;
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
