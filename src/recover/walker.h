// The damage map's window over a stream: frames checked at any bit, runs of
// them, and the bit search for where frames pass again (damagemap.h says
// why each exists; damagemap.cpp builds the map from them).
//
// The decoder's ring is used as a window that can be set anywhere: file
// block k (32 KiB, counted from the first frame's word) always goes into
// half k & 1, so a stream word w sits at ring index w & kRingMask. A frame
// parse starting anywhere in block k stays within blocks k and k + 1.
//
// The words may be taken in any of the four byte alignments: in alignment
// a, word w is the four bytes at a + 4 w from the stream's first frame word,
// and bits count in that grid. Bytes inserted or lost move the frames behind
// them into another alignment, where they are whole again.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>

#include "decoder/framedecoder.h"
#include "recover/damagemap.h"

namespace velkscan {

class Walker {
 public:
  // Starts a decoder on the stream (blocks 0 and 1, and the file's word
  // limit); ok() is false when it could not be made.
  Walker(ByteStream& stream, const StreamInfo& info, uint32_t declared, const std::function<bool()>& stopped);

  bool ok() const { return d_ != nullptr; }
  uint64_t fileBits() const { return fileBits_; }
  // A read failed, or a block lay out of reach: the walk cannot go on.
  bool failed() const { return readError_ || outOfReach_; }
  bool outOfReach() const { return outOfReach_; }
  bool limited() const { return limited_; }
  // What the walk has cost so far, in all alignments (damagemap.h).
  uint64_t work() const { return work_; }
  uint64_t readErrorByte() const { return readErrorByte_; }
  bool Stopped() const { return stopped_ && stopped_(); }
  uint32_t align() const { return align_; }
  // Takes the words in byte alignment a (0..3) from now on.
  void SetAlign(uint32_t a);

  // Fewer bits left than a word: the padding after the last frame.
  bool AtCleanEnd(uint64_t bit) const { return bit >= fileBits_ || fileBits_ - bit < 32; }

  struct Frame {
    bool passed = false;
    uint64_t declaredEnd = 0;  // after the body its length field declares
    uint64_t parseEnd = 0;     // where the parse of its syntax stopped
  };

  // Checks the frame whose length field starts at bit; false when it does
  // not fit in the file or its blocks could not be read (failed() then).
  // alongNext: parse the frame its length puts next along with it, as the
  // check does, for a walk that goes there next whether this one passes
  // or not.
  bool Decode(uint64_t bit, Frame& f, bool alongNext = false);

  // Frames that pass in a row from bit, up to `need`; true when the run is
  // long enough, reaches the end of the file, or (frame numbers known)
  // reaches the header's count.
  bool RunHolds(uint64_t bit, uint32_t frame, bool numbersKnown, uint32_t need);

  // The first bit at or after `from` (in the current alignment) where a run
  // of frames passes that chance would not give (damagemap.h, kFalseMatchBits);
  // where there is none, the earliest such bit in the other three alignments
  // from the same byte on, the walker then left in that alignment.
  // fileBits when there is none anywhere, or when the work budget ran out
  // (limited() then says so).
  uint64_t Search(uint64_t from);

 private:
  // The search in the current alignment, over words before untilBit.
  uint64_t SearchIn(uint64_t from, uint64_t untilBit);
  // Whether the frames from bit are a run that chance would not give, after
  // `tried` positions searched.
  bool Accepted(uint64_t bit, uint64_t tried);
  // What the length field at bit tells, in bits: how unlikely its bits are
  // among the bytes of the two loaded blocks.
  double FieldInformation(uint64_t bit);
  bool Plausible(uint64_t bit, int depth);
  bool ZeroBlock(uint64_t word) const;
  uint32_t BlockBytes(uint64_t block) const;
  uint32_t LengthField(uint64_t bit) const;
  bool Ensure(uint64_t word);
  bool Load(uint64_t block);
  bool SeekTo(int64_t offset) { return offset >= 0 && SeekToByte(stream_, static_cast<uint64_t>(offset)); }

  static constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();
  ByteStream& stream_;
  std::unique_ptr<FrameDecoder> d_;
  uint32_t declared_;
  const std::function<bool()>& stopped_;
  int64_t base_ = 0;
  uint64_t fileBits_ = 0;
  uint32_t align_ = 0;
  uint64_t wordLimits_[4] = {};  // whole words of stream in each alignment
  uint64_t tried_ = 0;           // positions the current search has tried
  bool zerosOnly_ = false;       // the last SearchIn met only blocks of zeros
  uint64_t loaded_[2] = {kNone, kNone};
  bool counted_[2] = {};              // byteCounts_ holds the half's bytes
  uint32_t byteCounts_[2][256] = {};  // each byte value's count in each half
  bool readError_ = false;
  bool outOfReach_ = false;
  bool limited_ = false;
  uint64_t readErrorByte_ = 0;
  uint64_t work_ = 0;                   // what the walk has cost so far, in all alignments (damagemap.h)
  uint64_t budget_ = 0;                 // for all of them together
  uint32_t minBody_ = 1, maxBody_ = 0;  // the body lengths a frame of this stream can have
};

}  // namespace velkscan
