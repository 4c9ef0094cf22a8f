// The stream header: the ID3v2 probe, both header layouts, the record of
// header values, and the plan of a rewrite of the header's frame count.
#pragma once

#include <cstdint>

#include "stream/bytestream.h"
#include "stream/streamversion.h"

namespace velkscan {

// Every header read takes this many bytes at the header position.
inline constexpr int32_t kHeaderBlockSize = 32;

// The record of one file's header values. A fresh record is all zero
// (value-initialise it: StreamInfo info{};).
struct StreamInfo {
  double sampleRate;
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
  // The header block was read in full and its fields taken: not so for a
  // header refused before them, nor for "VKQ" version bytes accepted unread.
  // Only such a header is ever repaired, mapped or salvaged.
  bool fieldsRead;
};

// Why a header was accepted or not, one cause each. The report shows them
// as the numbers of its "unrecognized format" line (scan/report.h), where
// some causes share a number.
enum class HeaderResult {
  kOk,
  kBadTag,            // the ID3v2 tag header is malformed
  kSeekFailed,        // the header position could not be reached
  kShortMagic,        // fewer than 4 bytes at the header position
  kVkqLayoutUnknown,  // "VKQ" and a version byte whose low four bits are 8 to 15
  kOlderVersion7,     // an older-layout header whose version field is 7
  kNineBitField,      // older layout: the nine-bit field is not 0
  kSecondStereo,      // older layout: the second stereo flag is set
  kBlockField,        // older layout: the block field is not 1
  kVersionUnknown,    // older layout: a version other than 4, 5 and 6
  kMaxBandTooHigh,    // version 7: a maximum band beyond the 32 subbands
  kVersionUnchecked,  // read in full, but no frame parser takes the version
  kReadFailed,        // the header block could not be positioned or read in full
};

// The one rule of which headers this program may write (a repair of the
// frame count, its undo, a salvaged copy's header): one whose fields were
// read, at a header position, of a version whose frames are checked. Its
// version's entry; null for any other header, which is never written.
constexpr const StreamVersion* WritableHeader(const StreamInfo& info) {
  return info.fieldsRead && info.headerPos >= 0 ? FindStreamVersion(info.streamVersion) : nullptr;
}

// The profile text for an index (16 and above: "n.a.").
const char* ProfileNameFor(uint32_t index);

// 0: no tag; the tag's length; -1: malformed tag header. Reads 10 bytes at
// the current position; fewer than 10 bytes count as no tag.
int32_t TagPrefixLength(ByteStream& stream);

// Fills a zeroed record from a stream positioned at the start of the file.
HeaderResult ReadStreamHeader(StreamInfo& info, ByteStream& stream);
HeaderResult ParseHeaderSv7(StreamInfo& info, ByteStream& stream);
HeaderResult ParseHeaderSv46(StreamInfo& info, ByteStream& stream);

// The header block `before` (as read at the header position of a file of
// the checked version `version`) with its frame count set to newCount, in
// `after`; no other byte differs. kOk, or (older layout, whose block is
// parsed again) the cause the reader would give the block, and `after` is
// then not to be written. Nothing is read or written here: the scan, which
// opens the file, writes the block.
HeaderResult PlanCountRewrite(const StreamVersion& version, const uint8_t (&before)[kHeaderBlockSize],
                              uint32_t newCount, uint8_t (&after)[kHeaderBlockSize]);

}  // namespace velkscan
