// The stream header reader: the ID3v2 probe, both layouts, the cause of
// every rejection and what the record keeps, the frame count and its bias.
#include <gtest/gtest.h>

#include "stream/streaminfo.h"
#include "streamtest.h"

namespace velkscan {
namespace {

using H = HeaderResult;
using test::Bytes;
using test::Concat;
using test::Id3Tag;
using test::Sv46Header;
using test::Sv7Header;

struct Read {
  // The n-th seek from the start fails when failingSeek is n.
  explicit Read(const Bytes& file, int failingSeek = 0) {
    MemoryStream stream(file);
    stream.failingSeek = failingSeek;
    result = ReadStreamHeader(info, stream);
  }
  StreamInfo info{};
  HeaderResult result = HeaderResult::kReadFailed;
};

Bytes File(const Bytes& header, const Bytes& front = {}) {
  return Concat({front, header, test::FrameData(200, 3)});
}

TEST(TagProbe, LengthOfTheTagOrMinus1) {
  const uint8_t size257[4] = {0, 0, 2, 1}, spread[4] = {1, 2, 3, 4};
  const std::pair<Bytes, int32_t> cases[] = {
      {Id3Tag(0x10, size257, 0), 10 + 257 + 10},  // a footer follows the tag
      {Id3Tag(0xE0, size257, 0), 10 + 257},       // upper flags are ignored
      {Id3Tag(0x00, spread, 0), (1 << 21) + (2 << 14) + (3 << 7) + 4 + 10},
      {Id3Tag(0x01, size257, 0), -1},
      {Id3Tag(0x00, {0, 0x80, 0, 0}, 0), -1},
      {Bytes{'i', 'd', '3', 4, 0, 0, 0, 0, 0, 0}, 0},
      {Bytes{'I', 'D', '3', 4, 0, 0x0F, 0x80, 0, 0}, 0},  // 9 bytes hold no tag header
  };
  for (const auto& [bytes, length] : cases) {
    MemoryStream stream(bytes);
    EXPECT_EQ(TagPrefixLength(stream), length) << testing::PrintToString(bytes);
  }
}

// Each header gets its cause and what the record keeps; only a block taken in full, and past the
// layout's checks, counts as read (fieldsRead): nothing else is ever repaired, mapped or salvaged.
TEST(ReadStreamHeader, SaysWhatItReadOfEveryKindOfHeader) {
  const uint8_t size6[4] = {0, 0, 0, 6}, size20[4] = {0, 0, 0, 20}, size257[4] = {0, 0, 2, 1};
  const Bytes v7 = Sv7Header{}.Build(), old = Sv46Header{}.Build();
  const Bytes behindTag = File(v7, Id3Tag(0, size6, 6));
  Bytes footerTag = Id3Tag(0x10, size257, 267);  // with a footer: the header at 277; "VKQ" in its body
  footerTag[20] = 'V', footerTag[21] = 'K', footerTag[22] = 'Q', footerTag[23] = 0x08;
  auto older = [](Sv46Header h) { return File(h.Build()); };
  auto vkq = [](uint8_t versionByte) { return File(Sv7Header{.versionByte = versionByte}.Build()); };
  const struct {
    const char* what;
    Bytes file;
    int failingSeek;
    HeaderResult result;
    int32_t headerPos;
    uint32_t streamVersion, frameCount;
    bool fieldsRead;
  } cases[] = {
      {"version 7", File(v7), 0, H::kOk, 0, 7, 100, true},
      {"version byte 0x17", vkq(0x17), 0, H::kOk, 0, 0x17, 100, true},
      {"behind a tag", behindTag, 0, H::kOk, 16, 7, 100, true},
      {"behind a tag with a footer", File(v7, footerTag), 0, H::kOk, 277, 7, 100, true},
      {"version byte 0x67 is read", vkq(0x67), 0, H::kOk, 0, 0x67, 100, true},
      {"0x77 is accepted unread", vkq(0x77), 0, H::kOk, 0, 0x77, 0, false},
      {"0x06 is accepted unread", vkq(0x06), 0, H::kOk, 0, 6, 0, false},
      {"0x18", vkq(0x18), 0, H::kVkqLayoutUnknown, 0, 0x18, 0, false},
      {"maximum band 32", File(Sv7Header{.maxBand = 32}.Build()), 0, H::kMaxBandTooHigh, 0, 7, 100, true},
      {"bad tag flags", File(v7, Id3Tag(0x08, size6, 6)), 0, H::kBadTag, -1, 0, 0, false},
      {"seek to the header", behindTag, 1, H::kSeekFailed, 16, 0, 0, false},
      {"3 bytes behind a tag", Concat({Id3Tag(0, size20, 20), Bytes{'V', 'K', 'Q'}}), 0, H::kShortMagic, 30,
       0, 0, false},
      {"VKQ in 20 bytes", Bytes(v7.begin(), v7.begin() + 20), 0, H::kReadFailed, 0, 7, 0, false},
      {"older layout in 31 bytes", Bytes(old.begin(), old.begin() + 31), 0, H::kReadFailed, 0, 0, 0, false},
      {"the layout reader's seek", behindTag, 2, H::kReadFailed, 16, 7, 0, false},
      {"older, version 7", older({.streamVersion = 7, .word1 = 9}), 0, H::kOlderVersion7, 0, 7, 9, false},
      {"older, nine bits", older({.nineBitField = 1, .word1 = 9}), 0, H::kNineBitField, 0, 6, 9, false},
      {"older, second stereo", older({.secondStereo = 1, .word1 = 9}), 0, H::kSecondStereo, 0, 6, 9, false},
      {"older, block field", older({.blockField = 2, .word1 = 9}), 0, H::kBlockField, 0, 6, 9, false},
      {"older, version 3", older({.streamVersion = 3, .word1 = 9u << 16}), 0, H::kVersionUnknown, 0, 3, 8,
       true},
      {"older, version 8", older({.streamVersion = 8, .word1 = 9}), 0, H::kVersionUnknown, 0, 8, 9, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Read r(c.file, c.failingSeek);
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(r.info.headerPos, c.headerPos);
    EXPECT_EQ(r.info.streamVersion, c.streamVersion);
    EXPECT_EQ(r.info.frameCount, c.frameCount);
    EXPECT_EQ(r.info.fieldsRead, c.fieldsRead);
    EXPECT_TRUE(c.streamVersion == 0 || r.info.fileLength == static_cast<int32_t>(c.file.size()));
  }
}

TEST(ReadStreamHeader, FrameCountWhereTheVersionKeepsIt) {
  const std::tuple<uint32_t, uint32_t, uint32_t> cases[] = {
      // version (7: "VKQ"), word 1, frame count
      {4, 5u << 16 | 0xFFFF, 4},  // the upper half, less one; the lower half is frame data
      {4, 1u << 16, 0},          {5, 0x12345678, 0x12345677}, {6, 5, 5}, {7, 0xFFFFFFFF, 0xFFFFFFFF},
  };
  for (const auto& [version, stored, frameCount] : cases) {
    SCOPED_TRACE(version);
    const Read r(File(version == 7 ? Sv7Header{.frameCount = stored}.Build()
                                   : Sv46Header{.streamVersion = version, .word1 = stored}.Build()));
    EXPECT_TRUE(r.result == H::kOk && r.info.fieldsRead);
    EXPECT_EQ(r.info.frameCount, frameCount);
    EXPECT_EQ(r.info.sampleCount, int64_t{frameCount} * 1152 - 576);
  }
  const double rates[4] = {44100, 48000, 37800, 32000};
  for (uint32_t index = 0; index < 4; ++index)
    EXPECT_EQ(Read(File(Sv7Header{.sampleRateIndex = index}.Build())).info.sampleRate, rates[index]);
  EXPECT_EQ(Read(File(Sv46Header{}.Build())).info.sampleRate, 44100);
}

}  // namespace
}  // namespace velkscan
