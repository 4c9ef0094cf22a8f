// The in-place frame-count rewrite on real files: exactly the count bytes
// change (every other byte of the file compared), the header reads back as
// it should, and a refused or failed repair writes nothing.
#include <gtest/gtest.h>

#include "platform/filestream.h"
#include "stream/streaminfo.h"
#include "streamtest.h"

namespace velkscan {
namespace {

using H = HeaderResult;
using test::Bytes;

Bytes V7(uint8_t versionByte, uint32_t frameCount) {
  return test::Sv7Header{.versionByte = versionByte, .frameCount = frameCount}.Build();
}
Bytes Old(uint32_t version, uint32_t word1) {
  return test::Sv46Header{.streamVersion = version, .word1 = word1}.Build();
}

struct RepairedFile {
  // Writes the file, reads its header, repairs it with the layout's rewrite.
  RepairedFile(const Bytes& header, const Bytes& tag, uint32_t count, bool writable = true)
      : original(test::Concat({tag, header, test::FrameData(3000, 11)})) {
    test::WriteBytes(path, original);
    {  // closed before the file is read again (Windows shares no writable file)
      FileStream stream(OpenFileForScan(test::ToText(path), writable));
      StreamInfo info{};
      EXPECT_EQ(ReadStreamHeader(info, stream), H::kOk);
      result = FindStreamVersion(info.streamVersion)->layout == HeaderLayout::kOlder
                   ? RewriteFrameCountSv46(info, stream, count)
                   : RewriteFrameCountSv7(info, stream, count);
    }
    StreamInfo back{};
    FileStream reread(OpenFileForScan(test::ToText(path), false));
    EXPECT_EQ(ReadStreamHeader(back, reread), H::kOk);
    readBack = back.frameCount;
  }
  test::ScratchDir dir;
  test::fs::path path = dir / "broken.vlk";
  Bytes original;
  HeaderResult result;
  uint32_t readBack;
};

TEST(Repair, ChangesOnlyTheCountBytes) {
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
      {"version 5 reads back one less", Old(5, 500), {}, 0x01020304, 4, {4, 3, 2, 1}, 0x01020303},
      // 70000 mod 65536 = 0x1170; bytes 4-5 are frame data and stay.
      {"version 4, upper half", Old(4, 9000u << 16 | 0xCDAB), {}, 70000, 6, {0x70, 0x11}, 4463},
      // A stored 0 would read back as 0xFFFFFFFF frames: 1 is stored, read back as 0.
      {"version 5, count 0", Old(5, 40), {}, 0, 4, {1, 0, 0, 0}, 0},
      {"version 4, count 65536", Old(4, 40u << 16 | 0x3412), {}, 65536, 6, {1, 0}, 0},
      {"version 6, count 0", Old(6, 40), {}, 0, 4, {0, 0, 0, 0}, 0},
      {"version 7 behind a tag", V7(0x07, 77777), tag277, 1000, 277 + 4, {0xE8, 0x03, 0x00, 0x00}, 1000},
      {"version 4 behind a tag", Old(4, 50u << 16 | 0xBEEF), tag277, 20, 277 + 6, {20, 0}, 19},
      {"the count it holds", V7(0x07, 123456), {}, 123456, 0, {}, 123456},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const RepairedFile f(c.header, c.tag, c.count);
    EXPECT_EQ(f.result, H::kOk);
    Bytes expected = f.original;
    for (size_t i = 0; i < c.written.size(); ++i) expected.at(c.offset + i) = c.written[i];
    EXPECT_EQ(test::ReadBytes(f.path), expected);
    EXPECT_EQ(f.readBack, c.readBack);
  }
}

TEST(Repair, RefusedOrFailedWritesNothing) {
  // A block the reader would refuse: the same cause, nothing written.
  const struct {
    test::Sv46Header header;
    HeaderResult result;
  } refused[] = {
      {{.streamVersion = 7}, H::kOlderVersion7},  {{.nineBitField = 3, .streamVersion = 5}, H::kNineBitField},
      {{.secondStereo = 1}, H::kSecondStereo},    {{.blockField = 2}, H::kBlockField},
      {{.streamVersion = 3}, H::kVersionUnknown}, {{.streamVersion = 23}, H::kVersionUnknown},
  };
  for (const auto& c : refused) {
    const Bytes file = test::Concat({c.header.Build(), test::FrameData(64)});
    MemoryStream stream(file);
    StreamInfo info{};  // the repair parses word 0 itself
    EXPECT_EQ(RewriteFrameCountSv46(info, stream, 10), c.result);
    EXPECT_EQ(stream.bytes(), file);
  }
  // A version-7 byte above 0x71 was never parsed: never written.
  for (uint8_t versionByte : {0x77, 0xF7}) {
    MemoryStream stream(V7(versionByte, 100));
    StreamInfo info{};
    info.streamVersion = versionByte;
    EXPECT_EQ(RewriteFrameCountSv7(info, stream, 1), H::kOk);
    EXPECT_EQ(stream.bytes(), V7(versionByte, 100));
  }
  // A read-only handle on a real file: the write moves nothing.
  for (const Bytes& header : {V7(0x07, 100), Old(6, 100)}) {
    const RepairedFile f(header, {}, 1, /*writable=*/false);
    EXPECT_EQ(f.result, H::kReadFailed);
    EXPECT_EQ(test::ReadBytes(f.path), f.original);
  }
  // A seek that fails before the read or before the write, a block that is
  // not whole, a record without a header position.
  const Bytes v7 = V7(0x07, 100), old = test::Concat({Old(5, 100), test::FrameData(64)});
  for (int failing : {1, 2}) {
    StreamInfo info{};
    info.streamVersion = 7;
    MemoryStream s7(v7), s46(old);
    s7.failingSeek = s46.failingSeek = failing;
    EXPECT_EQ(RewriteFrameCountSv7(info, s7, 5), H::kReadFailed);
    EXPECT_EQ(RewriteFrameCountSv46(info, s46, 5), H::kReadFailed);
    EXPECT_EQ(s7.bytes(), v7);
    EXPECT_EQ(s46.bytes(), old);
  }
  const Bytes shortBlock(v7.begin(), v7.begin() + 31);
  for (int32_t headerPos : {-1, 0}) {
    StreamInfo info{};
    info.headerPos = headerPos;
    info.streamVersion = 7;
    const Bytes& file = headerPos < 0 ? v7 : shortBlock;
    MemoryStream stream(file);
    EXPECT_EQ(RewriteFrameCountSv7(info, stream, 5), H::kReadFailed);
    EXPECT_EQ(stream.bytes(), file);
  }
}

}  // namespace
}  // namespace velkscan
