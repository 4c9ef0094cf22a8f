// Shared pieces of the generator tests: options in one call, and the frame
// walk of the scan worker over a real file on disk.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decoder/framedecoder.h"
#include "platform/filestream.h"
#include "stream/streaminfo.h"
#include "stream/testfiles.h"
#include "velkgen/generator.h"

namespace velkscan::test {

inline gen::StreamOptions Options(uint32_t version, gen::Profile profile, uint64_t seed, uint32_t frames,
                                  gen::TagKind tag = gen::TagKind::None) {
  gen::StreamOptions o;
  o.streamVersion = version;
  o.profile = profile;
  o.seed = seed;
  o.frameCount = frames;
  o.tag = tag;
  return o;
}

inline std::string Label(const gen::StreamOptions& o) {
  return "version " + std::to_string(o.streamVersion) +
         (o.profile == gen::Profile::Music ? ", music" : ", exhaustive") + ", seed " +
         std::to_string(o.seed) + ", tag " + std::to_string(static_cast<int>(o.tag));
}

// What a walk over one file saw.
struct Walk {
  bool opened = false;
  int32_t headerResult = -100;
  StreamInfo info{};
  int32_t frameOk = 0;
  uint32_t framesDecoded = 0;
  FrameResult last = FrameResult::kFailed;
  std::vector<uint32_t> bitsAfterFrame;  // BitsConsumed after each frame that passed
};

// Walks a file as the scan worker does: header, decoder, then one frame per
// turn with the ring refilled after it, until a frame fails or none is left.
inline Walk WalkFile(const fs::path& path, bool reference) {
  Walk w;
  FileStream stream(OpenFileForScan(ToText(path), false));
  w.opened = stream.handle() != kInvalidHandle;
  if (!w.opened) return w;
  w.headerResult = ReadStreamHeader(w.info, stream);
  if (w.headerResult != 0) return w;
  auto decoder = std::make_unique<FrameDecoder>(stream);
  decoder->Start(w.info);
  for (;;) {
    w.last = reference ? decoder->CheckNextFrameReference() : decoder->CheckNextFrame();
    if (w.last != FrameResult::kPassed) break;
    w.bitsAfterFrame.push_back(decoder->BitsConsumed());
  }
  w.frameOk = decoder->frameOk;
  w.framesDecoded = decoder->framesDecoded;
  return w;
}

}  // namespace velkscan::test
