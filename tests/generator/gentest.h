// Shared pieces of the generator tests: a stream's label, a scan's frame walk over a file.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decoder/framedecoder.h"
#include "platform/filestream.h"
#include "stream/testfiles.h"
#include "support/streams.h"

namespace velkscan::test {

inline std::string Label(const gen::StreamOptions& o) {
  return "version " + std::to_string(o.streamVersion) +
         (o.profile == gen::Profile::Music ? ", music" : ", all") + ", seed " + std::to_string(o.seed) +
         ", tag " + std::to_string(static_cast<int>(o.tag)) + ", max band " + std::to_string(o.maxBand) +
         ", frames " + std::to_string(o.frameCount);
}

// What a walk over one file saw.
struct Walk {
  HeaderResult headerResult = HeaderResult::kReadFailed;
  StreamInfo info{};
  FrameResult last = FrameResult::kReadError;
  uint32_t framesDecoded = 0;
  std::vector<uint64_t> bitsAfterFrame;  // after each frame that passed
};

// A file as a scan walks it: header, then frames until the walk stops. With
// the decoder of the walk before, as a checker keeps one from file to file:
// what its ring still holds must never change a verdict.
inline Walk WalkFile(const fs::path& path, bool reference) {
  Walk w;
  FileStream stream(OpenFileForScan(ToText(path), false));
  w.headerResult = ReadStreamHeader(w.info, stream);
  if (w.headerResult != HeaderResult::kOk) return w;
  static thread_local std::unique_ptr<FrameDecoder> decoder;
  decoder ? decoder->Attach(stream) : decoder.reset(new FrameDecoder(stream));
  decoder->Start(w.info);
  // The word after the ring is the checking path's own to set: garbage there
  // before every frame must change nothing.
  auto poison = [&] { decoder->ring[kRingWords] = ~decoder->ring[0]; };
  while ((poison(), w.last = reference ? decoder->CheckNextFrameReference() : decoder->CheckNextFrame()) ==
         FrameResult::kPassed) {
    w.bitsAfterFrame.push_back(decoder->BitsConsumed64());
  }
  w.framesDecoded = decoder->framesDecoded;
  return w;
}

}  // namespace velkscan::test
