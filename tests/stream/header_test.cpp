// The stream header reader: the ID3v2 probe, both layouts, every result code
// and what the record holds after each, the derived values.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>

#include "platform/filestream.h"
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

HeaderRead Read(ByteStream&& stream) {
  HeaderRead r{0, StreamInfo{}};
  r.result = ReadStreamHeader(r.info, stream);
  return r;
}

HeaderRead Read(const Bytes& file) {
  return Read(MemoryStream(file));
}

// A whole file: optional bytes in front, the header block, frame data.
Bytes File(const Bytes& header, const Bytes& front = {}, size_t frameBytes = 200) {
  return Concat({front, header, test::FrameData(frameBytes, 3)});
}

Bytes WithVersionByte(uint8_t byte) {
  return File(Sv7Header{.versionByte = byte}.Build());
}

// Every field of a record, so that whole records compare and a difference
// names its field.
std::string Fields(const StreamInfo& i) {
  std::ostringstream o;
  o << "sampleRate " << i.sampleRate << ", channelCount " << i.channelCount << ", headerPos " << i.headerPos
    << ", streamVersion " << i.streamVersion << ", nineBitField " << i.nineBitField << ", averageBitrate "
    << i.averageBitrate << ", frameCount " << i.frameCount << ", sampleCount " << i.sampleCount
    << ", maxBand " << i.maxBand << ", secondStereo " << i.secondStereo << ", midSide " << i.midSide
    << ", blockField " << i.blockField << ", profileIndex " << i.profileIndex << ", profileName "
    << (i.profileName ? i.profileName : "(none)") << ", gains " << i.firstGain << " " << i.secondGain
    << ", peaks " << i.firstPeak << " " << i.secondPeak << ", word5Flag " << i.word5Flag
    << ", lastFrameLength " << i.lastFrameLength << ", encoder " << i.encoderVersion << " '" << i.encoderText
    << "', fileLength " << i.fileLength << " " << i.fileLengthCopy;
  return o.str();
}

// A record of which only the header position was stored.
StreamInfo OnlyHeaderPos(int32_t headerPos) {
  StreamInfo e{};
  e.headerPos = headerPos;
  return e;
}

// A record whose body was never read: position, version, both lengths and
// the values derived from frameCount 0.
StreamInfo Unread(int32_t headerPos, uint32_t streamVersion, size_t fileLength) {
  StreamInfo e = OnlyHeaderPos(headerPos);
  e.streamVersion = streamVersion;
  e.fileLength = e.fileLengthCopy = static_cast<int32_t>(fileLength);
  e.sampleCount = -576;
  return e;
}

TEST(TagProbe, LengthOfTheTagOrMinus1) {
  const uint8_t size257[4] = {0x00, 0x00, 0x02, 0x01}, largest[4] = {0x7F, 0x7F, 0x7F, 0x7F},
                spread[4] = {0x01, 0x02, 0x03, 0x04};
  const struct {
    const char* what;
    Bytes bytes;
    int32_t length;
  } cases[] = {
      {"footer flag", Id3Tag(0x10, size257, 0), 10 + 257 + 10},
      {"no footer", Id3Tag(0x00, size257, 0), 10 + 257},
      {"largest size", Id3Tag(0x00, largest, 0), (1 << 28) - 1 + 10},
      {"7-bit groups", Id3Tag(0x00, spread, 0), (1 << 21) + (2 << 14) + (3 << 7) + 4 + 10},
      {"upper flags ignored", Id3Tag(0xE0, size257, 0), 10 + 257},
      {"no tag", Sv7Header{}.Build(), 0},
      {"lower case", Bytes{'i', 'd', '3', 4, 0, 0, 0, 0, 0, 0}, 0},
      {"9 bytes cannot hold a tag header", Bytes{'I', 'D', '3', 4, 0, 0x0F, 0x80, 0, 0}, 0},
      {"empty", Bytes{}, 0},
  };
  for (const auto& c : cases) {
    MemoryStream stream(c.bytes);
    EXPECT_EQ(TagPrefixLength(stream), c.length) << c.what;
  }
}

TEST(ReadStreamHeader, TagWithFooterPutsHeaderAt277) {
  const uint8_t size[4] = {0x00, 0x00, 0x02, 0x01};
  // The tag body holds "VKQ" bytes of its own: only headerPos counts.
  Bytes tag = Id3Tag(0x10, size, 267);
  tag[20] = 'V', tag[21] = 'K', tag[22] = 'Q', tag[23] = 0x08;
  // Through a real file, as the scan reads it.
  test::ScratchDir dir;
  test::WriteBytes(dir / "tagged.vlk", File(Sv7Header{.frameCount = 4321}.Build(), tag));
  const HeaderRead r = Read(FileStream(OpenFileForScan(test::ToText(dir / "tagged.vlk"), false)));
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.info.headerPos, 277);
  EXPECT_EQ(r.info.streamVersion, 7u);
  EXPECT_EQ(r.info.frameCount, 4321u);
  EXPECT_EQ(r.info.fileLength, 277 + 32 + 200);
  EXPECT_EQ(r.info.fileLengthCopy, r.info.fileLength);
}

TEST(ReadStreamHeader, RecordAfterEachEarlyOutcome) {
  const uint8_t size10[4] = {0, 0, 0, 10}, size20[4] = {0, 0, 0, 20}, size6[4] = {0, 0, 0, 6};
  const Bytes v7 = Sv7Header{}.Build(), old = Sv46Header{}.Build();
  const Bytes behindTag = File(v7, Id3Tag(0, size6, 6));
  const struct {
    const char* what;
    Bytes file;
    int failingSeek;  // 0: none
    int32_t result;
    StreamInfo record;
  } cases[] = {
      {"tag flags 0x01", File(v7, Id3Tag(0x01, size10, 10)), 0, 1, OnlyHeaderPos(-1)},
      {"tag flags 0x08", File(v7, Id3Tag(0x08, size10, 10)), 0, 1, OnlyHeaderPos(-1)},
      {"size byte 0x80", File(v7, Id3Tag(0, {0, 0x80, 0, 10}, 10)), 0, 1, OnlyHeaderPos(-1)},
      {"size byte 0x8A", File(v7, Id3Tag(0, {0, 0, 0, 0x8A}, 10)), 0, 1, OnlyHeaderPos(-1)},
      {"seek to the header fails", behindTag, 1, 2, OnlyHeaderPos(16)},
      {"empty", Bytes{}, 0, 3, OnlyHeaderPos(0)},
      {"3 bytes", Bytes{'V', 'K', 'Q'}, 0, 3, OnlyHeaderPos(0)},
      {"3 bytes behind a tag", Concat({Id3Tag(0, size20, 20), Bytes{'V', 'K', 'Q'}}), 0, 3,
       OnlyHeaderPos(30)},
      {"tag longer than the file", Id3Tag(0, size20, 5), 0, 3, OnlyHeaderPos(30)},
      {"VKQ in 20 bytes", Bytes(v7.begin(), v7.begin() + 20), 0, -1, Unread(0, 7, 20)},
      {"older layout in 31 bytes", Bytes(old.begin(), old.begin() + 31), 0, -1, Unread(0, 0, 31)},
      {"the layout reader's seek fails", behindTag, 2, -1, Unread(16, 7, behindTag.size())},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const HeaderRead r = c.failingSeek ? Read(test::FailingSeek(c.file, c.failingSeek)) : Read(c.file);
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(Fields(r.info), Fields(c.record));
  }
  // Flags 0x20, 0x40 and 0x80 change nothing.
  for (uint8_t flags : {0x20, 0x40, 0x80}) {
    const HeaderRead r = Read(File(v7, Id3Tag(flags, size10, 10)));
    EXPECT_EQ(r.result, 0) << int(flags);
    EXPECT_EQ(r.info.headerPos, 20) << int(flags);
    EXPECT_EQ(r.info.frameCount, 100u) << int(flags);
  }
}

TEST(ReadStreamHeader, Version7VersionBytes) {
  // Parsed: low four bits 7 and the whole byte at most 0x71.
  for (uint8_t byte : {0x07, 0x17, 0x27, 0x37, 0x47, 0x57, 0x67}) {
    const HeaderRead r = Read(WithVersionByte(byte));
    EXPECT_EQ(r.result, 0) << int(byte);
    EXPECT_EQ(r.info.streamVersion, byte);
    EXPECT_EQ(r.info.frameCount, 100u) << int(byte);
  }
  // Accepted unread (above 0x71, or low bits 0 to 6), or rejected with code 1
  // (low bits 8 to 15): only the version byte and the lengths are kept.
  for (uint8_t byte : {0x77, 0x87, 0xF7, 0x00, 0x06, 0x16, 0x71, 0xF0, 0x08, 0x18, 0x0F, 0x7E, 0xFF}) {
    const Bytes file = WithVersionByte(byte);
    const HeaderRead r = Read(file);
    EXPECT_EQ(r.result, (byte & 0x0F) >= 8 ? 1 : 0) << int(byte);
    EXPECT_EQ(Fields(r.info), Fields(Unread(0, byte, file.size())));
  }
}

TEST(ReadStreamHeader, Version7Fields) {
  const Sv7Header h{.versionByte = 0x17,
                    .frameCount = 1,
                    .midSide = 1,
                    .maxBand = 31,
                    .profileIndex = 13,
                    .sampleRateIndex = 2,
                    .maxLevel = 32767,
                    .firstGain = 61731,
                    .firstPeak = 17767,
                    .secondGain = 2748,
                    .secondPeak = 65244,
                    .word5Flag = 1,
                    .lastFrameLength = 1445,
                    .encoderVersion = 112};
  const HeaderRead r = Read(File(h.Build()));
  EXPECT_EQ(r.result, 0);
  // 232 bytes * 37800 Hz * 8 / 576 samples; given peaks are kept.
  EXPECT_EQ(Fields(r.info),
            "sampleRate 37800, channelCount 2, headerPos 0, streamVersion 23, nineBitField 0, averageBitrate "
            "121800, frameCount 1, sampleCount 576, maxBand 31, secondStereo 0, midSide 1, blockField 1, "
            "profileIndex 13, profileName 'Overkill', gains 61731 2748, peaks 17767 65244, word5Flag 1, "
            "lastFrameLength 1445, encoder 112 'Beta 1.12', fileLength 232 232");

  const double rates[4] = {44100, 48000, 37800, 32000};
  for (uint32_t index = 0; index < 4; ++index) {
    EXPECT_EQ(Read(File(Sv7Header{.sampleRateIndex = index}.Build())).info.sampleRate, rates[index]) << index;
  }
  const std::pair<uint32_t, const char*> profiles[] = {
      {0, "n.a."},         {1, "'Unstable/Experimental'"}, {5, "below 'Murmur'"},
      {7, "'Murmur'"},     {14, "above 'Overkill'"},       {16, "n.a."},
      {0xFFFFFFFF, "n.a."}};
  for (const auto& [index, name] : profiles) EXPECT_STREQ(ProfileNameFor(index), name) << index;
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
    EXPECT_STREQ(Read(File(Sv7Header{.encoderVersion = c.version}.Build())).info.encoderText, c.text)
        << c.version;
  }
}

TEST(ReadStreamHeader, PeakDefaults) {
  const struct {
    uint32_t maxLevel;
    uint16_t firstPeak, secondPeak, expectFirst, expectSecond;
  } cases[] = {
      {32767, 0, 0, 38665, 38665},
      {65535, 0, 0, 11795, 11795},  // 77331 keeps its low 16 bits
      {0, 0, 0, 0, 0},
      {32767, 500, 0, 500, 500},  // only a missing second peak takes the first
      {32767, 0, 700, 38665, 700},
  };
  for (const auto& c : cases) {
    const Sv7Header h{.maxLevel = c.maxLevel, .firstPeak = c.firstPeak, .secondPeak = c.secondPeak};
    const HeaderRead r = Read(File(h.Build()));
    EXPECT_EQ(r.info.firstPeak, c.expectFirst) << c.maxLevel << " " << c.firstPeak << " " << c.secondPeak;
    EXPECT_EQ(r.info.secondPeak, c.expectSecond) << c.maxLevel << " " << c.firstPeak << " " << c.secondPeak;
  }
}

TEST(ReadStreamHeader, Version7MaxBandAbove31GivesCode6WithRecordFilled) {
  for (uint32_t band : {31u, 32u, 45u, 63u}) {
    const HeaderRead r = Read(File(Sv7Header{.frameCount = 10, .maxBand = band}.Build()));
    EXPECT_EQ(r.result, band > 31 ? 6 : 0) << band;
    EXPECT_EQ(r.info.maxBand, band);
    EXPECT_EQ(r.info.frameCount, 10u);
    EXPECT_EQ(r.info.channelCount, 2);
    EXPECT_STREQ(r.info.encoderText, "Release 1.1");
    EXPECT_EQ(r.info.sampleCount, 10 * 1152 - 576);
  }
}

TEST(ReadStreamHeader, FrameCountsAndDerivedValues) {
  const struct {
    uint32_t version;  // 7: the version-7 layout
    uint32_t stored;   // word 1
    uint32_t frameCount;
    int64_t sampleCount;
  } cases[] = {
      {4, 5u << 16, 4, 4 * 1152 - 576},
      {4, 5u << 16 | 0xFFFF, 4, 4 * 1152 - 576},  // the lower half is frame data
      {4, 1u << 16, 0, -576},
      {5, 5, 4, 4 * 1152 - 576},
      {5, 0x12345678, 0x12345677, int64_t{0x12345677} * 1152 - 576},
      {6, 5, 5, 5 * 1152 - 576},
      {7, 0, 0, -576},
      {7, 1, 1, 576},
      {7, 0xFFFFFFFF, 0xFFFFFFFF, int64_t{0xFFFFFFFF} * 1152 - 576},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "version " << c.version << ", stored " << c.stored);
    const Bytes file =
        File(c.version == 7 ? Sv7Header{.frameCount = c.stored}.Build()
                            : Sv46Header{.streamVersion = c.version, .word1 = c.stored}.Build());
    const HeaderRead r = Read(file);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.info.frameCount, c.frameCount);
    EXPECT_EQ(r.info.sampleCount, c.sampleCount);
    EXPECT_DOUBLE_EQ(r.info.averageBitrate,
                     c.sampleCount > 0 ? double(file.size()) * 44100 * 8 / double(c.sampleCount) : 0.0);
  }
}

TEST(ReadStreamHeader, OlderLayoutFields) {
  const uint8_t size[4] = {0, 0, 1, 0};  // 128
  const Bytes file = File(Sv46Header{.streamVersion = 5, .word1 = 11}.Build(), Id3Tag(0, size, 128), 1000);
  const HeaderRead r = Read(file);
  EXPECT_EQ(r.result, 0);
  // The bit rate leaves the tag out: 1032 bytes * 44100 Hz * 8 / 10944 samples.
  EXPECT_EQ(
      Fields(r.info),
      "sampleRate 44100, channelCount 2, headerPos 138, streamVersion 5, nineBitField 0, averageBitrate "
      "33268.4, frameCount 10, sampleCount 10944, maxBand 21, secondStereo 0, midSide 1, blockField 1, "
      "profileIndex 0, profileName n.a., gains 0 0, peaks 0 0, word5Flag 0, lastFrameLength 0, encoder 0 "
      "'', fileLength 1170 1170");
}

TEST(ReadStreamHeader, OlderLayoutResultCodes) {
  const struct {
    const char* what;
    uint32_t nineBitField, secondStereo, streamVersion, blockField;
    int32_t code;
  } cases[] = {
      {"version 7", 0, 0, 7, 1, 1},
      {"version 7 before nine bits", 1, 0, 7, 1, 1},
      {"nine-bit field", 0x100, 0, 5, 1, 2},
      {"nine bits before second stereo", 1, 1, 5, 1, 2},
      {"second stereo", 0, 1, 5, 1, 3},
      {"second stereo before block field", 0, 1, 5, 0, 3},
      {"block field 0", 0, 0, 5, 0, 4},
      {"block field 2", 0, 0, 5, 2, 4},
      {"block field before version 3", 0, 0, 3, 63, 4},
      {"version 0", 0, 0, 0, 1, 5},
      {"version 3", 0, 0, 3, 1, 5},
      {"version 8", 0, 0, 8, 1, 5},
      {"version 1023", 0, 0, 1023, 1, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Sv46Header h{.nineBitField = c.nineBitField,
                       .secondStereo = c.secondStereo,
                       .streamVersion = c.streamVersion,
                       .blockField = c.blockField,
                       .word1 = 9u << 16 | 9u};
    const HeaderRead r = Read(File(h.Build()));
    EXPECT_EQ(r.result, c.code);
    // Word 0's fields are stored before the checks.
    EXPECT_EQ(r.info.streamVersion, c.streamVersion);
    EXPECT_EQ(r.info.nineBitField, c.nineBitField);
    EXPECT_EQ(r.info.secondStereo, c.secondStereo);
    EXPECT_EQ(r.info.blockField, c.blockField);
    EXPECT_STREQ(r.info.profileName, "n.a.");
    // Only code 5 comes after the decrease and the defaults.
    const uint32_t stored = c.streamVersion >= 5 ? (9u << 16 | 9u) : 9u;
    const bool last = c.code == 5;
    EXPECT_EQ(r.info.frameCount, last && c.streamVersion < 6 ? stored - 1 : stored);
    EXPECT_EQ(r.info.sampleRate, last ? 44100.0 : 0.0);
    EXPECT_EQ(r.info.channelCount, last ? 2 : 0);
    EXPECT_EQ(r.info.averageBitrate > 0, last);  // sample rate 0 before the defaults
  }
  // Version 0 with stored count 0 wraps to all bits set.
  const HeaderRead z = Read(File(Sv46Header{.streamVersion = 0, .word1 = 0}.Build()));
  EXPECT_EQ(z.result, 5);
  EXPECT_EQ(z.info.frameCount, 0xFFFFFFFFu);
}

}  // namespace
}  // namespace velkscan
