// The stream header reader: the ID3v2 probe, both layouts, every result code
// and what the record holds after each, the derived values.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "stream/filestream.h"
#include "stream/memorystream.h"
#include "stream/streaminfo.h"
#include "streamtest.h"

namespace velkscan {
namespace {

using test::Bytes;
using test::Concat;
using test::Id3Tag;
using test::Sv46Header;
using test::Sv7Header;

struct HeaderRead {
  int32_t result;
  StreamInfo info;
};

HeaderRead Read(const Bytes& file) {
  MemoryStream stream(file);
  HeaderRead r{0, StreamInfo{}};
  r.result = ReadStreamHeader(r.info, stream);
  return r;
}

// A whole file: optional bytes in front, the header block, frame data.
Bytes File(const Bytes& header, const Bytes& front = {}, size_t frameBytes = 200) {
  return Concat({front, header, test::FrameData(frameBytes, 3)});
}

// Wraps memory; a Seek from the start to failAt fails, as a device error would.
class SeekFailingStream final : public ByteStream {
 public:
  SeekFailingStream(const Bytes& bytes, int32_t failAt) : inner_(bytes), failAt_(failAt) {}
  uint32_t Read(void* b, int32_t n) override { return inner_.Read(b, n); }
  uint32_t Write(const void* b, int32_t n) override { return inner_.Write(b, n); }
  uint32_t Seek(int32_t offset, int origin) override {
    if (origin == kFromStart && offset == failAt_) return kSeekFailed;
    return inner_.Seek(offset, origin);
  }
  uint32_t Tell() override { return inner_.Tell(); }

 private:
  MemoryStream inner_;
  int32_t failAt_;
};

// Only headerPos may differ from a fresh record.
void ExpectOnlyHeaderPos(const StreamInfo& i, int32_t headerPos) {
  EXPECT_EQ(i.headerPos, headerPos);
  EXPECT_EQ(i.sampleRate, 0.0);
  EXPECT_EQ(i.channelCount, 0);
  EXPECT_EQ(i.streamVersion, 0u);
  EXPECT_EQ(i.nineBitField, 0u);
  EXPECT_EQ(i.averageBitrate, 0.0);
  EXPECT_EQ(i.frameCount, 0u);
  EXPECT_EQ(i.sampleCount, 0);
  EXPECT_EQ(i.maxBand, 0u);
  EXPECT_EQ(i.secondStereo, 0u);
  EXPECT_EQ(i.midSide, 0u);
  EXPECT_EQ(i.blockField, 0u);
  EXPECT_EQ(i.profileIndex, 0u);
  EXPECT_EQ(i.profileName, nullptr);
  EXPECT_EQ(i.firstGain, 0u);
  EXPECT_EQ(i.secondGain, 0u);
  EXPECT_EQ(i.secondPeak, 0u);
  EXPECT_EQ(i.firstPeak, 0u);
  EXPECT_EQ(i.word5Flag, 0u);
  EXPECT_EQ(i.lastFrameLength, 0u);
  EXPECT_EQ(i.encoderVersion, 0u);
  EXPECT_EQ(i.encoderText[0], '\0');
  EXPECT_EQ(i.fileLength, 0);
  EXPECT_EQ(i.fileLengthCopy, 0);
}

// Nothing of the header's body was stored (the layout was not parsed).
void ExpectBodyUnread(const StreamInfo& info) {
  EXPECT_EQ(info.frameCount, 0u);
  EXPECT_EQ(info.sampleRate, 0.0);
  EXPECT_EQ(info.channelCount, 0);
  EXPECT_EQ(info.maxBand, 0u);
  EXPECT_EQ(info.midSide, 0u);
  EXPECT_EQ(info.blockField, 0u);
  EXPECT_EQ(info.profileName, nullptr);
  EXPECT_EQ(info.firstPeak, 0u);
  EXPECT_EQ(info.encoderText[0], '\0');
  // Derived from frameCount 0.
  EXPECT_EQ(info.sampleCount, -576);
  EXPECT_EQ(info.averageBitrate, 0.0);
}

TEST(ProfileNames, TableAndOutOfRange) {
  const char* expected[16] = {"n.a.",
                              "'Unstable/Experimental'",
                              "n.a.",
                              "n.a.",
                              "n.a.",
                              "below 'Murmur'",
                              "below 'Murmur'",
                              "'Murmur'",
                              "'Pocket'",
                              "'Airwave'",
                              "'Everyday'",
                              "'Vivid'",
                              "'Lavish'",
                              "'Overkill'",
                              "above 'Overkill'",
                              "above 'Overkill'"};
  for (uint32_t i = 0; i < 16; ++i) EXPECT_STREQ(ProfileNameFor(i), expected[i]) << i;
  for (uint32_t i : {16u, 17u, 255u, 0x80000000u, 0xFFFFFFFFu}) EXPECT_STREQ(ProfileNameFor(i), "n.a.") << i;
}

TEST(TagProbe, SizeAndFooter) {
  const uint8_t size[4] = {0x00, 0x00, 0x02, 0x01};  // 2 * 128 + 1 = 257
  {
    MemoryStream stream(Id3Tag(0x10, size, 0));
    EXPECT_EQ(TagPrefixLength(stream), 277);
  }
  {
    MemoryStream stream(Id3Tag(0x00, size, 0));
    EXPECT_EQ(TagPrefixLength(stream), 267);
  }
  {
    const uint8_t largest[4] = {0x7F, 0x7F, 0x7F, 0x7F};
    MemoryStream stream(Id3Tag(0x00, largest, 0));
    EXPECT_EQ(TagPrefixLength(stream), (1 << 28) - 1 + 10);
  }
  {
    const uint8_t spread[4] = {0x01, 0x02, 0x03, 0x04};
    MemoryStream stream(Id3Tag(0x00, spread, 0));
    EXPECT_EQ(TagPrefixLength(stream), (1 << 21) + (2 << 14) + (3 << 7) + 4 + 10);
  }
}

TEST(TagProbe, NoTagAndShortInput) {
  MemoryStream plain(Sv7Header{}.Build());
  EXPECT_EQ(TagPrefixLength(plain), 0);
  MemoryStream lowerCase(Bytes{'i', 'd', '3', 4, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(TagPrefixLength(lowerCase), 0);
  // Fewer than 10 bytes cannot hold a tag header, even if they begin "ID3".
  MemoryStream shortTag(Bytes{'I', 'D', '3', 4, 0, 0x0F, 0x80, 0, 0});
  EXPECT_EQ(TagPrefixLength(shortTag), 0);
  MemoryStream empty;
  EXPECT_EQ(TagPrefixLength(empty), 0);
}

TEST(ReadStreamHeader, TagWithFooterPutsHeaderAt277) {
  const uint8_t size[4] = {0x00, 0x00, 0x02, 0x01};
  // The tag body holds "VKQ" bytes of its own: only headerPos counts.
  Bytes tag = Id3Tag(0x10, size, 267);
  tag[20] = 'V';
  tag[21] = 'K';
  tag[22] = 'Q';
  tag[23] = 0x08;
  Sv7Header header;
  header.frameCount = 4321;

  // Through a real file, as the scan reads it.
  test::ScratchDir dir;
  const auto path = dir / "tagged.vlk";
  test::WriteWholeFile(path, File(header.Build(), tag));
  FileStream stream(OpenFileForScan(test::ToText(path), false));
  StreamInfo info{};
  EXPECT_EQ(ReadStreamHeader(info, stream), 0);
  EXPECT_EQ(info.headerPos, 277);
  EXPECT_EQ(info.streamVersion, 7u);
  EXPECT_EQ(info.frameCount, 4321u);
  EXPECT_EQ(info.fileLength, 277 + 32 + 200);
  EXPECT_EQ(info.fileLengthCopy, info.fileLength);
}

TEST(ReadStreamHeader, MalformedTagGivesCode1AndHeaderPosMinus1) {
  const uint8_t size[4] = {0, 0, 0, 10};
  for (uint8_t flags : {0x01, 0x02, 0x04, 0x08, 0x1F}) {
    const HeaderRead r = Read(File(Sv7Header{}.Build(), Id3Tag(flags, size, 10)));
    EXPECT_EQ(r.result, 1) << int(flags);
    ExpectOnlyHeaderPos(r.info, -1);
  }
  for (int i = 0; i < 4; ++i) {
    uint8_t bad[4] = {0, 0, 0, 10};
    bad[i] |= 0x80;
    const HeaderRead r = Read(File(Sv7Header{}.Build(), Id3Tag(0, bad, 10)));
    EXPECT_EQ(r.result, 1) << i;
    ExpectOnlyHeaderPos(r.info, -1);
  }
}

TEST(ReadStreamHeader, UpperTagFlagsAreIgnored) {
  const uint8_t size[4] = {0, 0, 0, 10};
  for (uint8_t flags : {0x00, 0x20, 0x40, 0x80, 0xE0}) {
    const HeaderRead r = Read(File(Sv7Header{}.Build(), Id3Tag(flags, size, 10)));
    EXPECT_EQ(r.result, 0) << int(flags);
    EXPECT_EQ(r.info.headerPos, 20) << int(flags);
    EXPECT_EQ(r.info.frameCount, 100u) << int(flags);
  }
}

TEST(ReadStreamHeader, ShortFiles) {
  // Fewer than 4 bytes at the header position: code 3, only headerPos.
  for (const Bytes& file : {Bytes{}, Bytes{'V'}, Bytes{'V', 'K', 'Q'}, Bytes{'I', 'D', '3'}}) {
    const HeaderRead r = Read(file);
    EXPECT_EQ(r.result, 3) << file.size();
    ExpectOnlyHeaderPos(r.info, 0);
  }
  const uint8_t size[4] = {0, 0, 0, 20};
  const HeaderRead behindTag = Read(Concat({Id3Tag(0, size, 20), Bytes{'V', 'K', 'Q'}}));
  EXPECT_EQ(behindTag.result, 3);
  ExpectOnlyHeaderPos(behindTag.info, 30);
  // A tag that claims more than the file holds: the header lies past the end.
  const HeaderRead pastEnd = Read(Id3Tag(0, size, 5));
  EXPECT_EQ(pastEnd.result, 3);
  ExpectOnlyHeaderPos(pastEnd.info, 30);

  // A version-7 magic with only 20 bytes: the block cannot be read.
  const Bytes block = Sv7Header{}.Build();
  const Bytes twenty(block.begin(), block.begin() + 20);
  const HeaderRead sv7 = Read(twenty);
  EXPECT_EQ(sv7.result, -1);
  EXPECT_EQ(sv7.info.headerPos, 0);
  EXPECT_EQ(sv7.info.streamVersion, 7u);
  EXPECT_EQ(sv7.info.fileLength, 20);
  EXPECT_EQ(sv7.info.fileLengthCopy, 20);
  ExpectBodyUnread(sv7.info);

  // The same for the older layout: not even the version is kept.
  const Bytes old = Sv46Header{}.Build();
  const HeaderRead sv46 = Read(Bytes(old.begin(), old.begin() + 31));
  EXPECT_EQ(sv46.result, -1);
  EXPECT_EQ(sv46.info.streamVersion, 0u);
  EXPECT_EQ(sv46.info.nineBitField, 0u);
  EXPECT_EQ(sv46.info.fileLength, 31);
  ExpectBodyUnread(sv46.info);
}

TEST(ReadStreamHeader, SeekFailures) {
  const uint8_t size[4] = {0, 0, 0, 6};
  const Bytes file = File(Sv7Header{}.Build(), Id3Tag(0, size, 6));
  {
    // The first seek to the header: code 2, only headerPos.
    SeekFailingStream stream(file, 16);
    StreamInfo info{};
    EXPECT_EQ(ReadStreamHeader(info, stream), 2);
    ExpectOnlyHeaderPos(info, 16);
  }
  {
    // The layout reader's own seek is the first seek once positioned; fail
    // it by failing every seek to 16 after the probe consumed the first.
    class SecondSeekFails final : public ByteStream {
     public:
      explicit SecondSeekFails(const Bytes& b) : inner_(b) {}
      uint32_t Read(void* b, int32_t n) override { return inner_.Read(b, n); }
      uint32_t Write(const void* b, int32_t n) override { return inner_.Write(b, n); }
      uint32_t Seek(int32_t offset, int origin) override {
        if (origin == kFromStart && ++seeksFromStart_ >= 2) return kSeekFailed;
        return inner_.Seek(offset, origin);
      }
      uint32_t Tell() override { return inner_.Tell(); }

     private:
      MemoryStream inner_;
      int seeksFromStart_ = 0;
    } stream(file);
    StreamInfo info{};
    EXPECT_EQ(ReadStreamHeader(info, stream), -1);
    EXPECT_EQ(info.headerPos, 16);
    EXPECT_EQ(info.streamVersion, 7u);
    EXPECT_EQ(info.fileLength, static_cast<int32_t>(file.size()));
    ExpectBodyUnread(info);
  }
}

TEST(ReadStreamHeader, Version7VersionBytes) {
  // Parsed: low four bits 7 and the whole byte at most 0x71.
  for (uint8_t byte : {0x07, 0x17, 0x27, 0x37, 0x47, 0x57, 0x67}) {
    Sv7Header h;
    h.versionByte = byte;
    const HeaderRead r = Read(File(h.Build()));
    EXPECT_EQ(r.result, 0) << int(byte);
    EXPECT_EQ(r.info.streamVersion, byte);
    EXPECT_EQ(r.info.frameCount, 100u) << int(byte);
    EXPECT_EQ(r.info.channelCount, 2) << int(byte);
  }
  // Accepted without reading: a version-7 byte above 0x71, or low bits 0 to 6.
  for (uint8_t byte : {0x77, 0x87, 0xF7, 0x00, 0x06, 0x16, 0x71, 0xF0}) {
    Sv7Header h;
    h.versionByte = byte;
    const Bytes file = File(h.Build());
    const HeaderRead r = Read(file);
    EXPECT_EQ(r.result, 0) << int(byte);
    EXPECT_EQ(r.info.headerPos, 0);
    EXPECT_EQ(r.info.streamVersion, byte);
    EXPECT_EQ(r.info.fileLength, static_cast<int32_t>(file.size()));
    EXPECT_EQ(r.info.fileLengthCopy, r.info.fileLength);
    ExpectBodyUnread(r.info);
  }
  // Rejected: low four bits 8 to 15.
  for (uint8_t byte : {0x08, 0x18, 0x0F, 0x7E, 0xFF}) {
    Sv7Header h;
    h.versionByte = byte;
    const Bytes file = File(h.Build());
    const HeaderRead r = Read(file);
    EXPECT_EQ(r.result, 1) << int(byte);
    EXPECT_EQ(r.info.streamVersion, byte);
    EXPECT_EQ(r.info.fileLength, static_cast<int32_t>(file.size()));
    ExpectBodyUnread(r.info);
  }
}

TEST(ReadStreamHeader, Version7Fields) {
  Sv7Header h;
  h.versionByte = 0x17;
  h.frameCount = 0x89ABCDEF;
  h.midSide = 1;
  h.maxBand = 31;
  h.profileIndex = 13;
  h.sampleRateIndex = 2;
  h.maxLevel = 0x7FFF;
  h.firstGain = 0xF123;
  h.firstPeak = 0x4567;
  h.secondGain = 0x0ABC;
  h.secondPeak = 0xFEDC;
  h.word5Flag = 1;
  h.lastFrameLength = 0x5A5;
  h.encoderVersion = 112;
  const HeaderRead r = Read(File(h.Build()));
  ASSERT_EQ(r.result, 0);
  const StreamInfo& i = r.info;
  EXPECT_EQ(i.streamVersion, 0x17u);
  EXPECT_EQ(i.frameCount, 0x89ABCDEFu);
  EXPECT_EQ(i.midSide, 1u);
  EXPECT_EQ(i.maxBand, 31u);
  EXPECT_EQ(i.profileIndex, 13u);
  EXPECT_STREQ(i.profileName, "'Overkill'");
  EXPECT_EQ(i.sampleRate, 37800.0);
  EXPECT_EQ(i.firstGain, 0xF123u);
  EXPECT_EQ(i.firstPeak, 0x4567u);  // given peaks are kept
  EXPECT_EQ(i.secondGain, 0x0ABCu);
  EXPECT_EQ(i.secondPeak, 0xFEDCu);
  EXPECT_EQ(i.word5Flag, 1u);
  EXPECT_EQ(i.lastFrameLength, 0x5A5u);
  EXPECT_EQ(i.encoderVersion, 112u);
  EXPECT_STREQ(i.encoderText, "Beta 1.12");
  EXPECT_EQ(i.nineBitField, 0u);
  EXPECT_EQ(i.secondStereo, 0u);
  EXPECT_EQ(i.blockField, 1u);
  EXPECT_EQ(i.channelCount, 2);

  // Each field from its own bits: all other fields zero, one set.
  Sv7Header m;
  m.midSide = 1;
  m.maxBand = 0;
  m.profileIndex = 0;
  const HeaderRead ms = Read(File(m.Build()));
  EXPECT_EQ(ms.info.midSide, 1u);
  EXPECT_EQ(ms.info.maxBand, 0u);
  EXPECT_EQ(ms.info.profileIndex, 0u);
  EXPECT_STREQ(ms.info.profileName, "n.a.");
}

TEST(ReadStreamHeader, SampleRates) {
  const double rates[4] = {44100, 48000, 37800, 32000};
  for (uint32_t index = 0; index < 4; ++index) {
    Sv7Header h;
    h.sampleRateIndex = index;
    EXPECT_EQ(Read(File(h.Build())).info.sampleRate, rates[index]) << index;
  }
}

TEST(ReadStreamHeader, EncoderTexts) {
  const struct {
    uint32_t version;
    const char* text;
  } cases[] = {
      {0, "Ashdown 1.7.0...9, Trell 0.90...1.05"},
      {110, "Release 1.1"},
      {112, "Beta 1.12"},
      {113, "--Alpha-- 1.13"},
      {7, "--Alpha-- 0.07"},
      {200, "Release 2.0"},
      {255, "--Alpha-- 2.55"},
      {4, "Beta 0.04"},
      {10, "Release 0.1"},
  };
  for (const auto& c : cases) {
    Sv7Header h;
    h.encoderVersion = c.version;
    const HeaderRead r = Read(File(h.Build()));
    EXPECT_EQ(r.info.encoderVersion, c.version);
    EXPECT_STREQ(r.info.encoderText, c.text) << c.version;
  }
}

TEST(ReadStreamHeader, PeakDefaults) {
  Sv7Header h;
  h.firstPeak = 0;
  h.secondPeak = 0;
  h.maxLevel = 32767;
  HeaderRead r = Read(File(h.Build()));
  EXPECT_EQ(r.info.firstPeak, 38665u);
  EXPECT_EQ(r.info.secondPeak, 38665u);

  h.maxLevel = 65535;  // 77331 keeps its low 16 bits
  r = Read(File(h.Build()));
  EXPECT_EQ(r.info.firstPeak, 11795u);
  EXPECT_EQ(r.info.secondPeak, 11795u);

  h.maxLevel = 0;
  r = Read(File(h.Build()));
  EXPECT_EQ(r.info.firstPeak, 0u);
  EXPECT_EQ(r.info.secondPeak, 0u);

  // Only a missing second peak takes the first.
  h.maxLevel = 32767;
  h.firstPeak = 500;
  r = Read(File(h.Build()));
  EXPECT_EQ(r.info.firstPeak, 500u);
  EXPECT_EQ(r.info.secondPeak, 500u);
  h.firstPeak = 0;
  h.secondPeak = 700;
  r = Read(File(h.Build()));
  EXPECT_EQ(r.info.firstPeak, 38665u);
  EXPECT_EQ(r.info.secondPeak, 700u);
}

TEST(ReadStreamHeader, Version7MaxBandAbove31GivesCode6WithRecordFilled) {
  for (uint32_t band : {32u, 45u, 63u}) {
    Sv7Header h;
    h.maxBand = band;
    h.frameCount = 10;
    const Bytes file = File(h.Build());
    const HeaderRead r = Read(file);
    EXPECT_EQ(r.result, kHeaderBadMaxBand) << band;
    EXPECT_EQ(r.result, 6);
    EXPECT_EQ(r.info.maxBand, band);
    EXPECT_EQ(r.info.frameCount, 10u);
    EXPECT_EQ(r.info.sampleRate, 44100.0);
    EXPECT_EQ(r.info.channelCount, 2);
    EXPECT_STREQ(r.info.encoderText, "Release 1.1");
    EXPECT_EQ(r.info.sampleCount, 10 * 1152 - 576);
    EXPECT_DOUBLE_EQ(r.info.averageBitrate, double(file.size()) * 44100 * 8 / (10 * 1152 - 576));
  }
  Sv7Header h;
  h.maxBand = 31;
  EXPECT_EQ(Read(File(h.Build())).result, 0);
}

TEST(ReadStreamHeader, OlderLayoutFrameCounts) {
  Sv46Header h;
  h.streamVersion = 4;
  h.word1 = 5u << 16;  // upper half 5, lower half 0
  EXPECT_EQ(Read(File(h.Build())).info.frameCount, 4u);
  h.word1 = 5u << 16 | 0xFFFF;  // the lower half belongs to the frame data
  EXPECT_EQ(Read(File(h.Build())).info.frameCount, 4u);

  h.streamVersion = 5;
  h.word1 = 5;
  EXPECT_EQ(Read(File(h.Build())).info.frameCount, 4u);
  h.word1 = 0x12345678;
  EXPECT_EQ(Read(File(h.Build())).info.frameCount, 0x12345677u);

  h.streamVersion = 6;
  h.word1 = 5;
  EXPECT_EQ(Read(File(h.Build())).info.frameCount, 5u);
}

TEST(ReadStreamHeader, OlderLayoutFields) {
  Sv46Header h;
  h.streamVersion = 5;
  h.midSide = 1;
  h.maxBand = 31;
  h.word1 = 11;
  const Bytes file = File(h.Build(), {}, 1000);
  const HeaderRead r = Read(file);
  ASSERT_EQ(r.result, 0);
  const StreamInfo& i = r.info;
  EXPECT_EQ(i.headerPos, 0);
  EXPECT_EQ(i.streamVersion, 5u);
  EXPECT_EQ(i.midSide, 1u);
  EXPECT_EQ(i.maxBand, 31u);
  EXPECT_EQ(i.blockField, 1u);
  EXPECT_EQ(i.nineBitField, 0u);
  EXPECT_EQ(i.secondStereo, 0u);
  EXPECT_EQ(i.frameCount, 10u);
  EXPECT_EQ(i.profileIndex, 0u);
  EXPECT_STREQ(i.profileName, "n.a.");
  EXPECT_EQ(i.sampleRate, 44100.0);
  EXPECT_EQ(i.channelCount, 2);
  EXPECT_EQ(i.firstGain, 0u);
  EXPECT_EQ(i.firstPeak, 0u);
  EXPECT_EQ(i.secondPeak, 0u);
  EXPECT_EQ(i.encoderVersion, 0u);
  EXPECT_STREQ(i.encoderText, "");
  EXPECT_EQ(i.fileLength, 1032);
  EXPECT_EQ(i.sampleCount, 10 * 1152 - 576);
  EXPECT_DOUBLE_EQ(i.averageBitrate, 1032.0 * 44100 * 8 / (10 * 1152 - 576));

  // Behind a tag the payload excludes the tag.
  const uint8_t size[4] = {0, 0, 1, 0};  // 128
  const HeaderRead tagged = Read(File(h.Build(), Id3Tag(0, size, 128), 1000));
  EXPECT_EQ(tagged.result, 0);
  EXPECT_EQ(tagged.info.headerPos, 138);
  EXPECT_EQ(tagged.info.fileLength, 138 + 1032);
  EXPECT_DOUBLE_EQ(tagged.info.averageBitrate, 1032.0 * 44100 * 8 / (10 * 1152 - 576));
}

TEST(ReadStreamHeader, OlderLayoutResultCodesAndRecord) {
  struct Case {
    const char* what;
    Sv46Header header;
    int32_t code;
  };
  auto with = [](auto change) {
    Sv46Header h;
    h.streamVersion = 5;
    h.word1 = 9;  // version 3 and below store the count in the upper half
    change(h);
    if (h.streamVersion < 5) h.word1 = 9u << 16;
    return h;
  };
  const Case cases[] = {
      {"version 7", with([](Sv46Header& h) { h.streamVersion = 7; }), 1},
      // The version check comes first.
      {"version 7, nine bits", with([](Sv46Header& h) { h.streamVersion = 7, h.nineBitField = 1; }), 1},
      {"nine-bit field", with([](Sv46Header& h) { h.nineBitField = 0x100; }), 2},
      {"nine bits and second stereo", with([](Sv46Header& h) { h.nineBitField = 1, h.secondStereo = 1; }), 2},
      {"second stereo", with([](Sv46Header& h) { h.secondStereo = 1; }), 3},
      {"second stereo, block 0", with([](Sv46Header& h) { h.secondStereo = 1, h.blockField = 0; }), 3},
      {"block field 0", with([](Sv46Header& h) { h.blockField = 0; }), 4},
      {"block field 2", with([](Sv46Header& h) { h.blockField = 2; }), 4},
      {"block field 63, version 3", with([](Sv46Header& h) { h.blockField = 63, h.streamVersion = 3; }), 4},
  };
  for (const Case& c : cases) {
    const HeaderRead r = Read(File(c.header.Build()));
    EXPECT_EQ(r.result, c.code) << c.what;
    // Stored before the check: word-0 fields and the undecreased count.
    EXPECT_EQ(r.info.streamVersion, c.header.streamVersion) << c.what;
    EXPECT_EQ(r.info.nineBitField, c.header.nineBitField) << c.what;
    EXPECT_EQ(r.info.secondStereo, c.header.secondStereo) << c.what;
    EXPECT_EQ(r.info.blockField, c.header.blockField) << c.what;
    EXPECT_EQ(r.info.frameCount, 9u) << c.what;
    EXPECT_STREQ(r.info.profileName, "n.a.") << c.what;
    // Not reached: sample rate and channels.
    EXPECT_EQ(r.info.sampleRate, 0.0) << c.what;
    EXPECT_EQ(r.info.channelCount, 0) << c.what;
    EXPECT_EQ(r.info.sampleCount, 9 * 1152 - 576) << c.what;
    EXPECT_EQ(r.info.averageBitrate, 0.0) << c.what;  // sample rate 0
  }

  // Code 5: versions outside 4 to 7, after the decrease and the defaults.
  for (uint32_t version : {0u, 1u, 3u, 8u, 100u, 1023u}) {
    Sv46Header h;
    h.streamVersion = version;
    h.word1 = 9u << 16 | 9u;
    const HeaderRead r = Read(File(h.Build()));
    EXPECT_EQ(r.result, 5) << version;
    EXPECT_EQ(r.info.streamVersion, version);
    const uint32_t stored = version >= 5 ? (9u << 16 | 9u) : 9u;
    EXPECT_EQ(r.info.frameCount, version < 6 ? stored - 1 : stored) << version;
    EXPECT_EQ(r.info.sampleRate, 44100.0) << version;
    EXPECT_EQ(r.info.channelCount, 2) << version;
  }
  // Version 0 with stored count 0 wraps to all bits set.
  Sv46Header zero;
  zero.streamVersion = 0;
  zero.word1 = 0;
  const HeaderRead z = Read(File(zero.Build()));
  EXPECT_EQ(z.result, 5);
  EXPECT_EQ(z.info.frameCount, 0xFFFFFFFFu);
  EXPECT_EQ(z.info.sampleCount, int64_t{0xFFFFFFFF} * 1152 - 576);
}

TEST(ReadStreamHeader, FrameCountZeroDerivedValues) {
  Sv7Header h;
  h.frameCount = 0;
  const HeaderRead r = Read(File(h.Build()));
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.info.sampleCount, -576);
  EXPECT_EQ(r.info.averageBitrate, 0.0);

  // Stored 1 in version 4 or 5 reads as 0 frames.
  Sv46Header old;
  old.streamVersion = 4;
  old.word1 = 1u << 16;
  const HeaderRead o = Read(File(old.Build()));
  EXPECT_EQ(o.info.frameCount, 0u);
  EXPECT_EQ(o.info.sampleCount, -576);
  EXPECT_EQ(o.info.averageBitrate, 0.0);

  // One frame: 576 samples.
  h.frameCount = 1;
  const Bytes file = File(h.Build());
  const HeaderRead one = Read(file);
  EXPECT_EQ(one.info.sampleCount, 576);
  EXPECT_DOUBLE_EQ(one.info.averageBitrate, double(file.size()) * 44100 * 8 / 576);
}

TEST(ReadStreamHeader, LargestFrameCountStays64Bit) {
  Sv7Header h;
  h.frameCount = 0xFFFFFFFF;
  const HeaderRead r = Read(File(h.Build()));
  EXPECT_EQ(r.info.sampleCount, int64_t{0xFFFFFFFF} * 1152 - 576);
  EXPECT_GT(r.info.averageBitrate, 0.0);
}

// Lengths of 2 GiB and more arrive as the low 32 bits taken as signed; past
// 4 GiB the seek to the end fails and the length reads -1.
class LargeHeaderFile : public ::testing::Test {
 protected:
  HeaderRead ReadSparse(uint64_t length, const Bytes& head) {
    const auto path = dir_ / "large.vlk";
    test::WriteWholeFile(path, head);
    std::error_code error;
    std::filesystem::resize_file(path, length, error);
    HeaderRead r{0, StreamInfo{}};
    if (error) {
      skipped_ = true;
      return r;
    }
    FileStream stream(OpenFileForScan(test::ToText(path), false));
    r.result = ReadStreamHeader(r.info, stream);
    return r;
  }
  test::ScratchDir dir_;
  bool skipped_ = false;
};

TEST_F(LargeHeaderFile, LengthsBeyond2GiB) {
  Sv7Header h;
  h.frameCount = 1000;
  HeaderRead r = ReadSparse(0x80000010u, h.Build());
  if (skipped_) GTEST_SKIP() << "no sparse files here";
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.info.fileLength, static_cast<int32_t>(0x80000010u));
  EXPECT_EQ(r.info.fileLengthCopy, r.info.fileLength);
  EXPECT_LT(r.info.averageBitrate, 0.0);  // the signed 32-bit difference
  EXPECT_DOUBLE_EQ(r.info.averageBitrate,
                   double(static_cast<int32_t>(0x80000010u)) * 44100 * 8 / (1000 * 1152 - 576));

  r = ReadSparse(0x100000020u, h.Build());
  if (skipped_) GTEST_SKIP() << "no sparse files here";
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.info.fileLength, -1);
  EXPECT_EQ(r.info.frameCount, 1000u);
}

}  // namespace
}  // namespace velkscan
