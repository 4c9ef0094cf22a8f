// The stream header: the ID3v2 probe, both header layouts, the record of
// header values, and the in-place rewrite of the header's frame count.
#pragma once

#include <cstdint>

#include "stream/bytestream.h"

namespace velkscan {

// Every header read takes this many bytes at the header position.
inline constexpr int32_t kHeaderBlockSize = 32;

// The record of one file's header values. A fresh record is all zero
// (value-initialise it: StreamInfo info{};).
struct StreamInfo {
  double sampleRate;
  int32_t channelCount;
  int32_t headerPos;  // byte offset of the stream header; -1: malformed tag
  uint32_t streamVersion;
  uint32_t nineBitField;
  double averageBitrate;
  uint32_t frameCount;
  int64_t sampleCount;
  uint32_t maxBand;
  uint32_t secondStereo;
  uint32_t midSide;
  uint32_t blockField;
  uint32_t profileIndex;
  const char* profileName;
  uint16_t firstGain;
  uint16_t secondGain;
  uint16_t secondPeak;
  uint16_t firstPeak;
  uint32_t word5Flag;
  uint32_t lastFrameLength;
  uint32_t encoderVersion;
  char encoderText[256];
  int32_t fileLength;
  int32_t fileLengthCopy;
};

// Result codes of ReadStreamHeader (other than 0 and -1). kHeaderBadMaxBand:
// a version-7 header whose maximum band lies beyond the 32 subbands.
enum HeaderResult : int32_t {
  kHeaderOk = 0,
  kHeaderFailed = -1,
  kHeaderBadMaxBand = 6,
};

// The profile text for an index (16 and above: "n.a.").
const char* ProfileNameFor(uint32_t index);

// 0: no tag; the tag's length; -1: malformed tag header. Reads 10 bytes at
// the current position; fewer than 10 bytes count as no tag.
int32_t TagPrefixLength(ByteStream& stream);

// Fills a zeroed record from a stream positioned at the start of the file.
int32_t ReadStreamHeader(StreamInfo& info, ByteStream& stream);
int32_t ParseHeaderSv7(StreamInfo& info, ByteStream& stream);
int32_t ParseHeaderSv46(StreamInfo& info, ByteStream& stream);

// Rewrite the header's frame count in place; 0, -1, or (older layout) 1..5.
int32_t RewriteFrameCountSv7(StreamInfo& info, ByteStream& stream, uint32_t newCount);
int32_t RewriteFrameCountSv46(StreamInfo& info, ByteStream& stream, uint32_t newCount);

// True for the stream versions the frame decoder checks: 4, 5, 6, 7, 23.
constexpr bool IsCheckedStreamVersion(uint32_t version) {
  return version == 4 || version == 5 || version == 6 || version == 7 || version == 23;
}

}  // namespace velkscan
