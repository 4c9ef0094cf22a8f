// Generated Velk streams: the one place the tests, the fuzz seeds and the
// benchmarks say which stream they want.
#pragma once

#include <cstdint>

#include "velkgen/generator.h"

namespace velkscan::test {

inline gen::StreamOptions Options(uint32_t version, uint32_t frames, uint64_t seed,
                                  gen::TagKind tag = gen::TagKind::None,
                                  gen::Profile profile = gen::Profile::Music) {
  gen::StreamOptions o;
  o.streamVersion = version, o.frameCount = frames, o.seed = seed, o.tag = tag, o.profile = profile;
  return o;
}

// A valid stream of the given version; sample rate 44100 for version 7.
inline gen::GeneratedStream MakeStream(uint32_t version, uint32_t frames, uint64_t seed,
                                       gen::TagKind tag = gen::TagKind::None) {
  gen::StreamOptions options = Options(version, frames, seed, tag);
  options.sampleRateIndex = 0;
  return gen::GenerateStream(options);
}

// A bit of frame brokenAt's length field flipped: the frames before it pass, it fails.
inline gen::GeneratedStream MakeBroken(uint32_t version, uint32_t frames, uint32_t brokenAt, uint64_t seed,
                                       gen::TagKind tag = gen::TagKind::None) {
  gen::GeneratedStream stream = MakeStream(version, frames, seed, tag);
  const uint64_t bit = stream.frames.at(brokenAt).lengthFieldBit + 10;
  gen::FlipBit(stream.bytes, stream.ByteOfBit(bit), gen::GeneratedStream::BitInByte(bit));
  return stream;
}

}  // namespace velkscan::test
