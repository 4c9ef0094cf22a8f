// The frame encoder: writes each frame's elements in the order the frame
// parser consumes them, drawing values from the seed. One per stream, it
// carries what the decoder carries (scale-factor references), so that
// music-like indexes stay plausible.
#pragma once

#include <cstdint>
#include <vector>

#include "decoder/codetables.h"
#include "velkgen/bitwriter.h"
#include "velkgen/generator.h"
#include "velkgen/random.h"

namespace velkscan::gen {

// Code tables for encoding: the listed words by value, and for each table a
// window map that draws values with the probabilities the code was built for
// (value v with probability 2^-length): L random bits decode to the word
// that prefixes them.

struct Code {
  uint32_t bits;
  uint32_t length;
};

struct EncodeTable {
  std::vector<Code> codes;  // by fill index (value + offset)
  int32_t offset = 0;
  uint32_t longest = 0;
  std::vector<uint8_t> indexOfWindow;  // 2^longest entries
};

const std::vector<EncodeTable>& EncodeTables();

constexpr int kBands = 32;
constexpr int kSamples = 36;
constexpr int kMinResolution = -17, kMaxResolution = 17;

class FrameEncoder {
 public:
  FrameEncoder(const StreamOptions& options, const HeaderValues& header, uint64_t seed, BitWriter& out)
      : exhaustive_(options.profile == Profile::Exhaustive),
        earlyEnd_(options.earlyEndFrames),
        midSide_(header.midSide),
        maxBand_(static_cast<int>(header.maxBand)),
        rng_(seed),
        out_(out),
        tables_(EncodeTables()) {}

  void EncodeSv7Frame();
  void EncodeSv46Frame();

 private:
  void Write(TableId id, int value) {
    const EncodeTable& t = tables_[id];
    const Code& c = t.codes[static_cast<size_t>(value + t.offset)];
    out_.Put(c.bits, c.length);
  }
  // A value drawn with the code's own probabilities.
  int Natural(TableId id) {
    const EncodeTable& t = tables_[id];
    return static_cast<int>(t.indexOfWindow[rng_.Bits(t.longest)]) - t.offset;
  }
  // A value drawn uniformly over the table.
  int Uniform(TableId id) {
    const EncodeTable& t = tables_[id];
    return static_cast<int>(rng_.Below(static_cast<uint32_t>(t.codes.size()))) - t.offset;
  }
  int Draw(TableId id, bool uniform) { return uniform ? Uniform(id) : Natural(id); }

  // Music-like resolution targets for one frame, both channels.
  void MusicTargets(int* left, int* right, int highest);

  // Version 7.
  struct ChannelPlan {
    int driveFrom = -1;  // band where the chain is driven out of -17..17
    bool up = true;
  };
  int ChooseSv7Resolution(int n, int prev, int target, bool zeroTail, const ChannelPlan& plan);
  void WriteSv7Resolution(int prev, int value, bool forceEscape);
  int NextScf(int from);
  bool WriteSv7Samples(int res);

  // Versions 4 to 6.
  void WriteSv46Scf(int pattern, int flag, int& ref);

  bool exhaustive_;
  bool earlyEnd_;
  bool midSide_;
  int maxBand_;
  Rng rng_;
  BitWriter& out_;
  const std::vector<EncodeTable>& tables_;
  int scfRef_[2][kBands] = {};
};

}  // namespace velkscan::gen
