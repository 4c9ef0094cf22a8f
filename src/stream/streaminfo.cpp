// The stream header reader: ID3v2 probe, version-7 ("VKQ") layout, older
// layout of versions 4 to 6, and the values derived from them.
#include "stream/streaminfo.h"

#include <cstdio>
#include <cstring>

#include "stream/headerblock.h"

namespace velkscan {

namespace {

constexpr const char* kProfileNames[16] = {
    "n.a.",
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
    "above 'Overkill'",
};

constexpr double kSampleRates[4] = {44100.0, 48000.0, 37800.0, 32000.0};

void FormatEncoderText(char (&text)[256], uint32_t v) {
  if (v == 0) {
    std::snprintf(text, sizeof text, "%s", "Ashdown 1.7.0...9, Trell 0.90...1.05");
  } else if (v % 10 == 0) {
    std::snprintf(text, sizeof text, "Release %u.%u", v / 100, (v / 10) % 10);
  } else if (v % 2 == 0) {
    std::snprintf(text, sizeof text, "Beta %u.%02u", v / 100, v % 100);
  } else {
    std::snprintf(text, sizeof text, "--Alpha-- %u.%02u", v / 100, v % 100);
  }
}

}  // namespace

const char* ProfileNameFor(uint32_t index) {
  return index < 16 ? kProfileNames[index] : "n.a.";
}

namespace {

constexpr int32_t kTagHeaderBytes = 10;

// The tag prefix's length by the file's first kTagHeaderBytes bytes.
int32_t TagPrefixOf(const uint8_t (&tag)[kTagHeaderBytes]) {
  if (tag[0] != 'I' || tag[1] != 'D' || tag[2] != '3') return 0;
  const uint8_t flags = tag[5];
  if ((flags & 0x0F) != 0) return -1;
  if (((tag[6] | tag[7] | tag[8] | tag[9]) & 0x80) != 0) return -1;
  const int32_t size = (tag[6] << 21) + (tag[7] << 14) + (tag[8] << 7) + tag[9];
  return (flags & 0x10) != 0 ? size + 20 : size + 10;
}

}  // namespace

int32_t TagPrefixLength(ByteStream& stream) {
  uint8_t tag[kTagHeaderBytes];
  if (stream.Read(tag, kTagHeaderBytes) < kTagHeaderBytes) return 0;  // too short to hold a tag header
  return TagPrefixOf(tag);
}

namespace detail {

void FillFromBlockSv7(StreamInfo& info, const uint8_t (&block)[kHeaderBlockSize]) {
  const uint32_t word2 = BlockWord(block, 2);
  const uint32_t word3 = BlockWord(block, 3);
  const uint32_t word4 = BlockWord(block, 4);
  const uint32_t word5 = BlockWord(block, 5);
  const uint32_t word6 = BlockWord(block, 6);

  info.frameCount = BlockWord(block, 1);
  info.nineBitField = 0;
  info.secondStereo = 0;
  info.midSide = (word2 >> 30) & 1;
  info.maxBand = (word2 >> 24) & 0x3F;
  info.blockField = 1;
  info.profileIndex = (word2 >> 20) & 0xF;
  info.profileName = ProfileNameFor(info.profileIndex);
  info.sampleRate = kSampleRates[(word2 >> 16) & 3];
  info.firstGain = static_cast<uint16_t>(word3 >> 16);
  info.firstPeak = static_cast<uint16_t>(word3);
  info.secondGain = static_cast<uint16_t>(word4 >> 16);
  info.secondPeak = static_cast<uint16_t>(word4);
  info.word5Flag = word5 >> 31;
  info.lastFrameLength = (word5 >> 20) & 0x7FF;
  info.encoderVersion = word6 >> 24;
  FormatEncoderText(info.encoderText, info.encoderVersion);

  if (info.firstPeak == 0) {
    // Older encoders left the peak out; estimate it from the maximum level.
    // Only the low 16 bits of the estimate fit the field.
    const uint32_t maxLevel = word2 & 0xFFFF;
    info.firstPeak = static_cast<uint16_t>(static_cast<uint32_t>(maxLevel * 1.18));
  }
  if (info.secondPeak == 0) info.secondPeak = info.firstPeak;
  info.fieldsRead = true;
}

void FillWord0Sv46(StreamInfo& info, uint32_t word0) {
  info.nineBitField = word0 >> 23;
  info.secondStereo = (word0 >> 22) & 1;
  info.midSide = (word0 >> 21) & 1;
  info.streamVersion = (word0 >> 11) & 0x3FF;
  info.maxBand = (word0 >> 6) & 0x1F;
  info.blockField = word0 & 0x3F;
  info.profileIndex = 0;
  info.profileName = ProfileNameFor(kOutOfRangeProfile);
}

}  // namespace detail

HeaderResult ParseHeaderSv7(StreamInfo& info, ByteStream& stream) {
  if (!IsReadVkqVersion(info.streamVersion)) return HeaderResult::kOk;
  uint8_t block[kHeaderBlockSize];
  if (!ReadHeaderBlock(stream, info.headerPos, block)) return HeaderResult::kReadFailed;
  detail::FillFromBlockSv7(info, block);
  return HeaderResult::kOk;
}

HeaderResult ParseHeaderSv46(StreamInfo& info, ByteStream& stream) {
  uint8_t block[kHeaderBlockSize];
  if (!ReadHeaderBlock(stream, info.headerPos, block)) return HeaderResult::kReadFailed;
  detail::FillWord0Sv46(info, BlockWord(block, 0));
  const StreamVersion& countField = OlderLayoutCountField(info.streamVersion);
  info.frameCount = CountField(countField, block);

  info.firstGain = 0;
  info.secondGain = 0;
  info.firstPeak = 0;
  info.secondPeak = 0;
  info.word5Flag = 0;
  info.lastFrameLength = 0;
  info.encoderVersion = 0;
  info.encoderText[0] = '\0';

  const HeaderResult check = detail::CheckWord0Sv46(info);
  if (check != HeaderResult::kOk && check != HeaderResult::kVersionUnknown) return check;

  info.frameCount -= countField.countBias;
  info.sampleRate = 44100.0;
  info.fieldsRead = true;
  return check;
}

HeaderResult ReadStreamHeader(StreamInfo& info, ByteStream& stream) {
  uint8_t start[kTagHeaderBytes];
  const bool whole = stream.Read(start, kTagHeaderBytes) == kTagHeaderBytes;
  info.headerPos = whole ? TagPrefixOf(start) : 0;  // fewer bytes: no tag
  if (info.headerPos < 0) return HeaderResult::kBadTag;
  uint8_t magic[4];
  if (whole && info.headerPos == 0) {
    // Without a tag the magic is among the bytes just read: no seek and
    // read again, which a file of a few frames would notice.
    std::memcpy(magic, start, sizeof magic);
  } else {
    if (stream.Seek(info.headerPos, kFromStart) != static_cast<uint32_t>(info.headerPos)) {
      return HeaderResult::kSeekFailed;
    }
    if (stream.Read(magic, 4) < 4) return HeaderResult::kShortMagic;
  }

  // Files of 2 GiB and more: the low 32 bits of the length, taken as signed.
  const uint32_t length = stream.Seek(0, kFromEnd);
  info.fileLength = static_cast<int32_t>(length);
  info.fileLengthCopy = info.fileLength;

  HeaderResult result;
  if (magic[0] == 'V' && magic[1] == 'K' && magic[2] == 'Q') {
    info.streamVersion = magic[3];
    const uint32_t layout = VkqLayoutOf(magic[3]);
    if (layout > kVkqLayout) {
      result = HeaderResult::kVkqLayoutUnknown;
    } else if (layout == kVkqLayout) {
      result = ParseHeaderSv7(info, stream);
      // The decoder has 32 subbands; a larger maximum band cannot be scanned.
      if (result == HeaderResult::kOk && info.maxBand > 31) result = HeaderResult::kMaxBandTooHigh;
    } else {
      result = HeaderResult::kOk;
    }
  } else {
    result = ParseHeaderSv46(info, stream);
  }

  info.sampleCount = static_cast<int64_t>(info.frameCount) * 1152 - 576;
  if (info.sampleCount > 0) {
    // Differences wrap as 32-bit values do (a length of 2 GiB or more is negative).
    const auto payload =
        static_cast<int32_t>(static_cast<uint32_t>(info.fileLength) - static_cast<uint32_t>(info.headerPos));
    info.averageBitrate =
        static_cast<double>(payload) * info.sampleRate * 8.0 / static_cast<double>(info.sampleCount);
  } else {
    info.averageBitrate = 0.0;
  }
  return result;
}

}  // namespace velkscan
