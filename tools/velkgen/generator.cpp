#include "velkgen/generator.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "velkgen/bitwriter.h"
#include "velkgen/frameencoder.h"
#include "velkgen/random.h"

namespace velkscan::gen {

namespace {

// Headers and tags.

bool IsSv7(uint32_t version) {
  return version == 7 || version == 23;
}

// The word offset of the first ring word, from the header position.
uint32_t FirstRingWord(uint32_t version) {
  return version == 4 ? 1 : version <= 6 ? 2 : 6;
}

Bytes MakeTag(TagKind kind, int bodySize, Rng& rng, bool exhaustive) {
  Bytes tag = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0};
  uint8_t flags = kind == TagKind::Id3v2Footer ? 0x10 : 0x00;
  if (exhaustive) flags |= static_cast<uint8_t>(rng.Below(8) << 5);  // bits 5-7 are ignored
  tag[5] = flags;
  const uint32_t size = static_cast<uint32_t>(bodySize);
  for (int i = 0; i < 4; ++i) tag[6 + i] = static_cast<uint8_t>((size >> (7 * (3 - i))) & 0x7F);
  // A title frame when it fits, then padding.
  Bytes body(size, 0);
  static const char kTitle[] = "velkgen stream";
  const uint32_t textSize = 1 + sizeof(kTitle) - 1;
  if (size >= 10 + textSize) {
    const uint8_t frame[10] = {'T', 'I', 'T', '2', 0, 0, 0, static_cast<uint8_t>(textSize), 0, 0};
    std::copy(frame, frame + 10, body.begin());
    body[10] = 3;  // UTF-8
    std::copy(kTitle, kTitle + sizeof(kTitle) - 1, body.begin() + 11);
  }
  tag.insert(tag.end(), body.begin(), body.end());
  if (kind == TagKind::Id3v2Footer) {
    Bytes footer(tag.begin(), tag.begin() + 10);
    footer[0] = '3';
    footer[1] = 'D';
    footer[2] = 'I';
    tag.insert(tag.end(), footer.begin(), footer.end());
  }
  return tag;
}

HeaderValues ChooseHeader(const StreamOptions& o, Rng& rng) {
  HeaderValues h;
  const bool ex = o.profile == Profile::Exhaustive;
  h.midSide = o.midSide ? *o.midSide : rng.OneIn(2);
  h.maxBand = o.maxBand >= 0 ? static_cast<uint32_t>(o.maxBand) : ex ? rng.Below(32) : rng.Range(18, 31);
  if (!IsSv7(o.streamVersion)) return h;
  h.sampleRateIndex = o.sampleRateIndex ? *o.sampleRateIndex : ex ? rng.Below(4) : 0;
  h.profileIndex = o.profileIndex ? *o.profileIndex : ex ? rng.Below(16) : 10;
  h.encoderVersion = o.encoderVersion ? *o.encoderVersion : ex ? rng.Below(256) : 115;
  h.maxLevel = o.maxLevel ? *o.maxLevel : static_cast<uint16_t>(rng.Bits(16));
  h.firstGain = o.firstGain ? *o.firstGain : static_cast<uint16_t>(rng.Bits(16));
  h.firstPeak = o.firstPeak ? *o.firstPeak : ex && rng.OneIn(3) ? 0 : static_cast<uint16_t>(rng.Bits(16));
  h.secondGain = o.secondGain ? *o.secondGain : static_cast<uint16_t>(rng.Bits(16));
  h.secondPeak = o.secondPeak ? *o.secondPeak : ex && rng.OneIn(3) ? 0 : static_cast<uint16_t>(rng.Bits(16));
  h.word5Flag = ex ? rng.OneIn(2) : true;
  h.lastFrameLength = ex ? rng.Below(2048) : rng.Range(1, 1152);
  return h;
}

void WriteHeader(BitWriter& w, uint32_t version, uint32_t frames, const HeaderValues& h) {
  if (IsSv7(version)) {
    w.Put('V' | ('K' << 8) | ('Q' << 16) | (version << 24), 32);
    w.Put(frames, 32);
    w.Put(0, 1);
    w.Put(h.midSide, 1);
    w.Put(h.maxBand, 6);
    w.Put(h.profileIndex, 4);
    w.Put(0, 2);
    w.Put(h.sampleRateIndex, 2);
    w.Put(h.maxLevel, 16);
    w.Put(h.firstGain, 16);
    w.Put(h.firstPeak, 16);
    w.Put(h.secondGain, 16);
    w.Put(h.secondPeak, 16);
    w.Put(h.word5Flag, 1);
    w.Put(h.lastFrameLength, 11);
    w.Put(0, 20);
    w.Put(h.encoderVersion, 8);  // byte 27; the frames follow in the same word
    return;
  }
  w.Put(0, 9);  // nine-bit field
  w.Put(0, 1);  // second stereo flag
  w.Put(h.midSide, 1);
  w.Put(version, 10);
  w.Put(h.maxBand, 5);
  w.Put(1, 6);  // block field
  // The reader takes one off for versions 4 and 5.
  const uint32_t stored = version < 6 ? frames + 1 : frames;
  w.Put(stored, version == 4 ? 16 : 32);
}

}  // namespace

uint32_t GeneratedStream::FramesWhollyBefore(uint64_t offset) const {
  const uint64_t base = static_cast<uint64_t>(headerPos) * 8;
  uint32_t count = 0;
  for (const FrameLayout& f : frames) {
    const uint64_t lastWord = (f.EndBit() - 1 - base) / 32;
    if (static_cast<uint64_t>(headerPos) + 4 * (lastWord + 1) > offset) break;
    ++count;
  }
  return count;
}

uint64_t GeneratedStream::ByteOfBit(uint64_t fileBit) const {
  const uint64_t streamBit = fileBit - static_cast<uint64_t>(headerPos) * 8;
  return static_cast<uint64_t>(headerPos) + (streamBit / 32) * 4 + 3 - (streamBit % 32) / 8;
}

std::string CheckOptions(const StreamOptions& o) {
  const uint32_t v = o.streamVersion;
  if (v != 4 && v != 5 && v != 6 && v != 7 && v != 23) return "stream version must be 4, 5, 6, 7 or 23";
  if (v == 4 && o.frameCount > 65534) return "version 4 holds at most 65534 frames";
  if (v == 5 && o.frameCount == 0xFFFFFFFFu) return "version 5 holds at most 4294967294 frames";
  if (o.maxBand > 31) return "maximum band must be 0..31";
  if (o.tagBodySize > 0x0FFFFFFF) return "tag body too large";
  if (o.sampleRateIndex && *o.sampleRateIndex > 3) return "sample-rate index must be 0..3";
  if (o.profileIndex && *o.profileIndex > 15) return "profile index must be 0..15";
  if (o.encoderVersion && *o.encoderVersion > 255) return "encoder version must be 0..255";
  return {};
}

GeneratedStream GenerateStream(const StreamOptions& options) {
  if (std::string fault = CheckOptions(options); !fault.empty()) throw std::invalid_argument(fault);
  uint64_t seedState = options.seed;
  Rng rng(SplitMix64(seedState));

  GeneratedStream s;
  s.streamVersion = options.streamVersion;
  s.header = ChooseHeader(options, rng);
  const bool ex = options.profile == Profile::Exhaustive;
  if (options.tag != TagKind::None) {
    const int body = options.tagBodySize >= 0 ? options.tagBodySize
                     : ex                     ? rng.Range(0, 3000)
                                              : rng.Range(1024, 4096);
    s.bytes = MakeTag(options.tag, body, rng, ex);
  }
  s.headerPos = static_cast<int32_t>(s.bytes.size());
  s.declaredFrameCount = options.frameCount;
  const uint64_t base = static_cast<uint64_t>(s.headerPos) * 8;
  s.ringStartBit = base + 32 * FirstRingWord(options.streamVersion);

  BitWriter w;
  WriteHeader(w, options.streamVersion, options.frameCount, s.header);
  FrameEncoder encoder(options, s.header, SplitMix64(seedState), w);
  s.frames.reserve(options.frameCount);
  for (uint32_t k = 0; k < options.frameCount; ++k) {
    const uint64_t at = w.Position();
    w.Put(0, 20);
    if (IsSv7(options.streamVersion))
      encoder.EncodeSv7Frame();
    else
      encoder.EncodeSv46Frame();
    const uint64_t body = w.Position() - at - 20;
    if (body > 0xFFFFF) throw std::logic_error("frame longer than its 20-bit length field can say");
    w.Patch(at, static_cast<uint32_t>(body), 20);
    s.frames.push_back({base + at, static_cast<uint32_t>(body)});
  }
  // Whole words, and at least the 32-byte header block.
  w.PadToWords(std::max<size_t>(w.WordCount(), 8));
  w.AppendBytes(s.bytes);
  return s;
}

std::string Describe(const GeneratedStream& s, const StreamOptions& o) {
  std::ostringstream text;
  text << "version " << s.streamVersion << ", " << s.frames.size() << " frames (header "
       << s.declaredFrameCount << "), " << s.bytes.size() << " bytes, header at " << s.headerPos
       << ", max band " << s.header.maxBand << ", mid/side " << (s.header.midSide ? "on" : "off") << ", "
       << (o.profile == Profile::Music ? "music" : "exhaustive") << ", seed " << o.seed;
  return text.str();
}

}  // namespace velkscan::gen
