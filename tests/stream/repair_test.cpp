// The frame-count repair's plan: exactly the count bytes change (every other byte of the file compared once
// the block is put back), the header reads back as it should, and a block the reader would refuse is refused.
#include <gtest/gtest.h>

#include <cstring>

#include "stream/headerblock.h"
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
  // Reads the file's header, plans the repair and puts the planned block in the file's place.
  RepairedFile(const Bytes& header, const Bytes& tag, uint32_t count)
      : original(test::Concat({tag, header, test::FrameData(3000, 11)})) {
    MemoryStream stream(original);
    StreamInfo info{};
    EXPECT_EQ(ReadStreamHeader(info, stream), H::kOk);
    uint8_t before[kHeaderBlockSize], after[kHeaderBlockSize];
    EXPECT_TRUE(ReadHeaderBlock(stream, info.headerPos, before));
    result = PlanCountRewrite(*FindStreamVersion(info.streamVersion), before, count, after);
    repaired = original;
    std::memcpy(repaired.data() + info.headerPos, after, kHeaderBlockSize);
    MemoryStream reread(repaired);
    StreamInfo back{};
    EXPECT_EQ(ReadStreamHeader(back, reread), H::kOk);
    readBack = back.frameCount;
  }
  Bytes original, repaired;
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
    EXPECT_EQ(f.repaired, expected);
    EXPECT_EQ(f.readBack, c.readBack);
  }
}

TEST(Repair, RefusesABlockTheReaderWouldRefuse) {
  // An older-layout block is parsed again: the reader's cause, nothing to write.
  const std::pair<test::Sv46Header, HeaderResult> refused[] = {
      {{.streamVersion = 7}, H::kOlderVersion7},  {{.nineBitField = 3, .streamVersion = 5}, H::kNineBitField},
      {{.secondStereo = 1}, H::kSecondStereo},    {{.blockField = 2}, H::kBlockField},
      {{.streamVersion = 3}, H::kVersionUnknown}, {{.streamVersion = 23}, H::kVersionUnknown},
  };
  for (const auto& [block, result] : refused) {
    const Bytes header = block.Build();
    uint8_t before[kHeaderBlockSize], after[kHeaderBlockSize];
    std::memcpy(before, header.data(), kHeaderBlockSize);
    EXPECT_EQ(PlanCountRewrite(*FindStreamVersion(6), before, 10, after), result);
  }
}

}  // namespace
}  // namespace velkscan
