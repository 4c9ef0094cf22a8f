// velkgen: writes Velk streams from the frame syntax, damages them, and lays
// out sample libraries for the demo and the benchmarks.
//
// The generator is an encoder: every element it writes is an element the
// frame parser consumes, in the parser's order, so a generated frame checks
// exactly when its declared length equals the bits written for its body.
// Everything is reproducible from the seed: the same options give the same
// bytes on every platform (a fixed PRNG, no standard distributions).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velkscan::gen {

using Bytes = std::vector<uint8_t>;

enum class Profile {
  Music,       // frames of roughly 400-900 bytes, resolutions mostly 1-7, few escapes
  Exhaustive,  // every element and value range the syntax has
};

enum class TagKind { None, Id3v2, Id3v2Footer };

struct StreamOptions {
  uint32_t streamVersion = 7;   // 4, 5, 6, 7 (version byte 0x07) or 23 (0x17)
  uint32_t frameCount = 500;    // version 4 holds at most 65534
  int maxBand = -1;             // 0..31; -1: chosen from the seed
  std::optional<bool> midSide;  // unset: chosen from the seed
  Profile profile = Profile::Music;
  uint64_t seed = 1;

  TagKind tag = TagKind::None;
  int tagBodySize = -1;  // bytes of tag body; -1: chosen from the seed

  // Version-7 header fields; unset: chosen from the seed.
  std::optional<uint32_t> sampleRateIndex;  // 0..3
  std::optional<uint32_t> profileIndex;     // 0..15
  std::optional<uint32_t> encoderVersion;   // 0..255
  std::optional<uint16_t> maxLevel;
  std::optional<uint16_t> firstGain, firstPeak, secondGain, secondPeak;

  // Exhaustive profile, version 7: now and then a frame whose resolution
  // chain leaves -17..17, which ends the parse early.
  bool earlyEndFrames = true;
};

// Empty when the options can be generated, else what is wrong.
std::string CheckOptions(const StreamOptions& options);

struct FrameLayout {
  uint64_t lengthFieldBit;  // bit offset of the 20-bit field, from the start of the file
  uint32_t bodyBits;        // the value of the field
  uint64_t EndBit() const { return lengthFieldBit + 20 + bodyBits; }
};

// The header values as written (version-7 fields are zero for 4 to 6).
struct HeaderValues {
  bool midSide = false;
  uint32_t maxBand = 0;
  uint32_t sampleRateIndex = 0, profileIndex = 0, encoderVersion = 0;
  uint16_t maxLevel = 0, firstGain = 0, firstPeak = 0, secondGain = 0, secondPeak = 0;
  bool word5Flag = false;
  uint32_t lastFrameLength = 0;
};

struct GeneratedStream {
  Bytes bytes;  // the whole file
  uint32_t streamVersion = 0;
  int32_t headerPos = 0;            // tag length, or 0
  uint32_t declaredFrameCount = 0;  // the frame count the header reader reports
  uint64_t ringStartBit = 0;        // file bit where the decoder's first ring word starts
  std::vector<FrameLayout> frames;  // every frame, in order
  HeaderValues header;

  // Frames that lie wholly (every byte of every word they touch) before
  // the byte at `offset`.
  uint32_t FramesWhollyBefore(uint64_t offset) const;
  // The file byte holding a bit of the bitstream (bits counted from the
  // start of the file, in reading order), and that bit's place in the byte.
  uint64_t ByteOfBit(uint64_t fileBit) const;
  static int BitInByte(uint64_t fileBit) { return 7 - static_cast<int>(fileBit % 8); }
};

// Throws std::invalid_argument when CheckOptions finds a fault.
GeneratedStream GenerateStream(const StreamOptions& options);

// --- Damage: each changes the bytes in one way ---

void TruncateTo(Bytes& bytes, size_t length);
void FlipBit(Bytes& bytes, size_t offset, int bit);                // bit 0 = least significant
void ZeroBlock(Bytes& bytes, size_t offset, size_t count = 4096);  // clipped at the end of the file
void InsertBytes(Bytes& bytes, size_t offset, const Bytes& inserted);
void DeleteBytes(Bytes& bytes, size_t offset, size_t count);
// Rewrites the header's frame count so that the reader reports `frames`
// (stored + 1 for versions 4 and 5; version 4 in the upper half of word 1).
void OverClaim(Bytes& bytes, int32_t headerPos, uint32_t streamVersion, uint32_t frames);

// Zeroes the bytes that hold the length field of frames every, 2 every, ...
// (counted from 0): damage that repeats. The bytes zeroed, in order.
std::vector<uint64_t> ZeroEveryLengthField(GeneratedStream& stream, uint32_t every);

enum class DamageKind { Truncate, Flip, Zero, Insert, Delete, OverClaim };
inline constexpr std::array<DamageKind, 6> kAllDamageKinds = {DamageKind::Truncate, DamageKind::Flip,
                                                              DamageKind::Zero,     DamageKind::Insert,
                                                              DamageKind::Delete,   DamageKind::OverClaim};
const char* DamageName(DamageKind kind);
std::optional<DamageKind> DamageFromName(const std::string& name);

struct DamageReport {
  DamageKind kind;
  uint64_t offset = 0;              // first damaged byte (the file's old end for over-claim)
  uint32_t framesWhollyBefore = 0;  // frames that lie wholly before it
  // The good count a check must find, where the damage fixes it: truncation
  // (the frames wholly before the cut), a flipped length bit (the frames
  // before that frame), over-claim (every frame the file holds).
  std::optional<uint32_t> exactGood;
  // Where the damage lies in the damaged file: the bytes it changed,
  // [offset, offset + length) (none for a cut, a deletion or an over-claim),
  // and how far every byte behind them moved (+n inserted, -n deleted).
  uint64_t length = 0;
  int64_t shift = 0;
  std::string description;
};

// Where the damage goes, and how much, where not chosen from the seed: the
// first byte damaged (truncate: the length cut to; zero, insert, delete),
// and the bytes zeroed (default 4 KiB), inserted or deleted (1 to 7).
struct DamagePlace {
  std::optional<uint64_t> offset;
  std::optional<uint32_t> count;
};
// Empty when the place suits the kind and a file of `size` bytes, else what
// is wrong.
std::string CheckPlace(DamageKind kind, const DamagePlace& place, uint64_t size);

// Damages the stream at a place chosen from the seed, inside the frames
// (a stream needs at least 2 frames), unless `place` names it. The bit flip
// lands in a frame's length field, so it is always detectable; truncation
// keeps the header. Throws std::invalid_argument when CheckPlace finds a fault.
DamageReport ApplyDamage(GeneratedStream& stream, DamageKind kind, uint64_t seed,
                         const DamagePlace& place = {});

// --- Sample libraries ---

enum class FileKind {
  Good,          // every frame passes
  Tagged,        // good, behind an ID3v2 tag
  Broken,        // damaged: a frame fails (see damage)
  Unrecognised,  // the header reader rejects it
  NotVelk,       // an extension the file list skips
};
const char* FileKindName(FileKind kind);

struct LibraryFile {
  std::filesystem::path path;  // relative to the library directory
  FileKind kind = FileKind::Good;
  uint64_t size = 0;
  uint32_t streamVersion = 0;
  uint32_t frames = 0;              // frames in the file
  uint32_t declaredFrameCount = 0;  // as the header reader reports it
  int32_t headerPos = 0;
  int32_t headerResult = 0;  // what the header reader returns for it
  std::optional<DamageReport> damage;
  std::string note;  // why an unrecognised file is rejected, and the like
};

struct LibraryOptions {
  double sizeMb = 20;  // target total size (MiB)
  uint64_t seed = 1;
};

// Writes the library under `dir` (created when missing; existing files of
// the same names are replaced) and lists what it wrote.
std::vector<LibraryFile> GenerateLibrary(const std::filesystem::path& dir, const LibraryOptions& options);

// Writes bytes to a file, replacing it. Throws std::runtime_error on failure.
void WriteFile(const std::filesystem::path& path, const Bytes& bytes);

// A one-line summary of a generated stream, for the command line.
std::string Describe(const GeneratedStream& stream, const StreamOptions& options);

}  // namespace velkscan::gen
