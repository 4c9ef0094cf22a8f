// The damage map: the walk that goes on past a stream's first failed frame.
//
// Every frame declares its own length, and the bits a frame occupies never
// depend on earlier frames, so the frames behind a damaged stretch can be
// found again: first by stepping over a failed frame by its declared length
// (or to where its parse ended), and where that lands on failing frames too,
// by trying every bit position after it until a run of frames passes, in
// the stream's byte alignment and, where that finds none, in the three
// others (bytes inserted or lost). A run is taken only when chance would not
// give it (kFalseMatchBits): two frames of a stream near the damage, three
// anywhere, and more in data whose bytes are mostly alike (sparse bytes).
//
// The bit search has a budget: an adversarial stretch can make nearly every
// bit position look like the start of a long frame, so that each one costs a
// frame's parse, or hold a length field at nearly every bit, each one a look.
// The whole walk (every alignment, the frames that pass included) counts
// what it costs in bits of a check (kSetupBits); once that passes
// kSearchWorkPerBit for each bit the check of the file costs, its set-up
// included, the search stops where it is and the rest of the file becomes
// one stretch marked searchLimited: not searched, not known damaged, and
// said so.
//
// Positions are stream bits: bit 0 is the top bit of the word that holds the
// first frame's first bit (the word SeekFirstFrame starts the ring at), in
// the words of a run's byte alignment: in alignment a, word w is the four
// bytes at a + 4 w from that word. A region's beginBit counts in the
// alignment of the run before it, its endBit in that of the run after it.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "stream/bytestream.h"
#include "stream/streaminfo.h"

namespace velkscan {

// A run of frames the bit search finds is taken for the stream only when
// chance gives such a run at most once in 2^kFalseMatchBits searches
// (Walker::Accepted says how that is weighed).
inline constexpr uint32_t kFalseMatchBits = 20;
// The same for a run that ends within the file's last word: its chance does
// not grow with the positions tried, and two frames give it.
inline constexpr uint32_t kEndMatchBits = 35;
// Frames in a row that must pass behind a failed frame stepped over by its
// length: the length is the stream's own word for where the next frame lies.
inline constexpr uint32_t kStepRun = 2;
// The walk's work is counted in bits of a check: what each of its steps
// costs (a parse, its set-up, a word scanned for length fields, a field
// weighed, a block read) as the check of that many bits of a sound stream
// does. A check costs, besides its bits, a set-up (opening the file,
// building the decoder, reading the first block) as large as that of
// kSetupBits more; the walk has one as large, and counts it.
inline constexpr uint64_t kSetupBits = 32768;
// The whole walk may cost this many bits of a check per bit the check of the
// file costs, set-up included, in all four byte alignments together: it
// keeps the map of any file, large or small, within 50 times a check of a
// sound file of the same size (bench/recover_bench prints both).
inline constexpr uint64_t kSearchWorkPerBit = 48;
// Files are read through 32-bit positions: no block starting past this byte
// can be reached.
inline constexpr uint64_t kLastReachableByte = 0xFFFFFFFEu;
// The work the walk of a file of fileBits may do before its search stops.
constexpr uint64_t SearchBudget(uint64_t fileBits) {
  const uint64_t most = 8 * (kLastReachableByte + 1);
  return kSearchWorkPerBit * ((fileBits < most ? fileBits : most) + kSetupBits);
}

// Frames that passed, one after the other. Frame numbers count from 0.
struct GoodRun {
  uint32_t firstFrame = 0;
  uint32_t frames = 0;
  uint64_t beginBit = 0;  // the first frame's 20-bit length field
  uint64_t endBit = 0;    // just past the last frame's body
  uint32_t align = 0;     // the byte alignment of the words its bits count in (0..3)
};

// A stretch that holds no frame that could be checked.
struct DamagedRegion {
  uint32_t firstFrame = 0;
  uint32_t lastFrame = 0;  // inclusive
  uint64_t beginBit = 0;
  uint64_t endBit = 0;         // where the next good run starts, or the end of the file
  bool countKnown = true;      // false: how many frames the stretch held is estimated
  bool searchLimited = false;  // the search stopped at its budget: the rest of the file was not searched
};

struct DamageMap {
  enum class End {
    kComplete,    // walked up to the header's frame count or the end of the file
    kReadError,   // a read failed before the end of the file: the map stops there
    kStopped,     // the job was stopped
    kOutOfReach,  // the walk came to a byte past kLastReachableByte: the map stops there
  };
  End end = End::kComplete;
  uint64_t readErrorByte = 0;  // kReadError: where reading failed; kOutOfReach: the byte not reached
  // runs[0] holds the frames before the first damage (perhaps none);
  // runs[i + 1] follows regions[i] (perhaps empty, at the end of a file).
  std::vector<GoodRun> runs;
  std::vector<DamagedRegion> regions;
  // Bits the walk parsed and read (the unit of its budget, SearchBudget).
  uint64_t work = 0;

  uint64_t KeptFrames() const;
  uint64_t GoodFramesAfter() const { return KeptFrames() - (runs.empty() ? 0 : runs[0].frames); }
};

// Sets the stream's position to a byte up to kLastReachableByte.
bool SeekToByte(ByteStream& stream, uint64_t offset);

// The stream bit where frame 0 starts, for a version with frames.
uint64_t FirstFrameBit(const StreamInfo& info);

// Walks the stream of a header read in full (ReadStreamHeader gave 0 and a
// frame parser exists for its version) from frame `frame`, which starts at
// stream bit `bit`; declaredFrames is the header's count as it was read
// (the walk stops there when every frame number is known). The stream is
// read only. A stop test that says true ends the walk between frames. A
// header that declares no frames is followed to the end of the file.
DamageMap MapDamage(ByteStream& stream, const StreamInfo& info, uint32_t declaredFrames, uint32_t frame,
                    uint64_t bit, const std::function<bool()>& stopped = {});

// The file bytes that hold stream bits [beginBit, endBit), as first and last
// byte (words are little-endian and read from their top bit, so the bytes
// of a word are met last to first); beginBit counts in byte alignment
// beginAlign, endBit in endAlign.
struct ByteSpan {
  uint64_t first = 0;
  uint64_t last = 0;
};
ByteSpan BytesOfBits(const StreamInfo& info, uint64_t beginBit, uint64_t endBit, uint32_t beginAlign = 0,
                     uint32_t endAlign = 0);

}  // namespace velkscan
