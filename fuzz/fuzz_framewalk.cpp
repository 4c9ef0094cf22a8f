// Arbitrary bytes through the header reader and the whole frame walk, as a
// scan takes a file, on the fast path and the reference path side by side.
// Besides never crashing, the two decoders must agree after every frame on
// the result, framesDecoded and the bits consumed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "decoder/framedecoder.h"
#include "stream/streaminfo.h"
#include "support/memorystream.h"

namespace {

using velkscan::FrameDecoder;
using velkscan::MemoryStream;
using velkscan::StreamInfo;

// Enough for any walk the input can feed (every frame takes at least 21
// bits of delivered data), and a bound should that ever stop holding.
constexpr uint32_t kMaxFrames = 100000;

void Expect(bool same, const char* what, uint32_t frame, uint64_t fast, uint64_t reference) {
  if (same) return;
  std::fprintf(stderr, "frame %u: %s differs: fast %llu, reference %llu\n", frame, what,
               static_cast<unsigned long long>(fast), static_cast<unsigned long long>(reference));
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryStream fastStream(data, size);
  StreamInfo info{};
  if (velkscan::ReadStreamHeader(info, fastStream) != velkscan::HeaderResult::kOk) return 0;

  MemoryStream referenceStream(data, size);
  auto fast = std::make_unique<FrameDecoder>(fastStream);
  auto reference = std::make_unique<FrameDecoder>(referenceStream);
  fast->Start(info);
  reference->Start(info);

  for (uint32_t frame = 1; frame <= kMaxFrames; ++frame) {
    const velkscan::FrameResult fastResult = fast->CheckNextFrame();
    const velkscan::FrameResult referenceResult = reference->CheckNextFrameReference();
    Expect(fastResult == referenceResult, "result", frame, static_cast<uint64_t>(fastResult),
           static_cast<uint64_t>(referenceResult));
    Expect(fast->framesDecoded == reference->framesDecoded, "framesDecoded", frame, fast->framesDecoded,
           reference->framesDecoded);
    Expect(fast->BitsConsumed() == reference->BitsConsumed(), "BitsConsumed", frame, fast->BitsConsumed(),
           reference->BitsConsumed());
    if (fastResult != velkscan::FrameResult::kPassed) break;
  }
  return 0;
}
