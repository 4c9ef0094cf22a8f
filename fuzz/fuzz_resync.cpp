// Arbitrary bytes through the damage map's walk from the first frame on: the
// steps over failed frames, the bit search and the window it moves over the
// file. Besides never reading outside the ring or past the file, the map must
// tile the stream in order (good runs and damaged regions taking turns, all
// within the file), and every frame it keeps must pass the reference
// decoder and end exactly where the map says, in whichever of the four byte
// alignments its run was found (bytes inserted or lost).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "decoder/framedecoder.h"
#include "recover/damagemap.h"
#include "stream/streaminfo.h"
#include "support/memorystream.h"

namespace {

using namespace velkscan;

void Expect(bool holds, const char* what, uint64_t a, uint64_t b) {
  if (holds) return;
  std::fprintf(stderr, "%s: %llu, %llu\n", what, static_cast<unsigned long long>(a),
               static_cast<unsigned long long>(b));
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryStream stream(data, size);
  StreamInfo info{};
  if (ReadStreamHeader(info, stream) != HeaderResult::kOk || WritableHeader(info) == nullptr) return 0;
  const DamageMap map = MapDamage(stream, info, info.frameCount, 0, FirstFrameBit(info));
  if (map.end != DamageMap::End::kComplete) return 0;

  const uint64_t fileBits =
      8 * (size -
           std::min<uint64_t>(size, info.headerPos + FirstFrameOf(int32_t(info.streamVersion)).byteOffset));
  Expect(map.runs.size() == map.regions.size() + 1, "runs and regions", map.runs.size(), map.regions.size());
  for (size_t i = 0; i < map.regions.size(); ++i) {
    const DamagedRegion& r = map.regions[i];
    Expect(map.runs[i].endBit == r.beginBit && r.endBit == map.runs[i + 1].beginBit, "tiling", r.beginBit,
           r.endBit);
    Expect(map.runs[i].align != map.runs[i + 1].align || r.beginBit <= r.endBit, "region order", r.beginBit,
           r.endBit);
    Expect(r.endBit <= std::max(fileBits, r.beginBit), "region bits", r.beginBit, r.endBit);
    Expect(r.firstFrame <= r.lastFrame && r.firstFrame == map.runs[i].firstFrame + map.runs[i].frames,
           "region frames", r.firstFrame, r.lastFrame);
    // A search stopped at its budget goes no further: its stretch is the last.
    Expect(!r.searchLimited || i + 1 == map.regions.size(), "search limit before the end", i,
           map.regions.size());
  }

  // The kept frames again, through the reference decoder, where the first
  // ring fill holds them; a run found in another byte alignment through a
  // copy of the file with that many bytes taken out in front of its words.
  const size_t base =
      static_cast<size_t>(info.headerPos) + FirstFrameOf(int32_t(info.streamVersion)).byteOffset;
  for (const GoodRun& run : map.runs) {
    Expect(run.align < 4 && run.beginBit <= run.endBit && run.endBit <= std::max(fileBits, run.beginBit),
           "run bits", run.beginBit, run.endBit);
    if (run.endBit + 64 >= uint64_t{kRingWords} * 32 || run.frames == 0) continue;
    std::vector<uint8_t> moved(data, data + size);
    if (run.align > 0 && base + run.align <= size)
      moved.erase(moved.begin() + static_cast<std::ptrdiff_t>(base),
                  moved.begin() + static_cast<std::ptrdiff_t>(base + run.align));
    MemoryStream shifted(moved.data(), moved.size());
    StreamInfo shiftedInfo = info;
    if (static_cast<uint32_t>(info.fileLength) != UINT32_MAX)
      shiftedInfo.fileLength = static_cast<int32_t>(moved.size());
    auto decoder = std::make_unique<FrameDecoder>(shifted);
    decoder->Start(shiftedInfo);
    uint64_t bit = run.beginBit;
    for (uint32_t k = 0; k < run.frames; ++k) {
      const FrameAt frame = decoder->CheckFrameAtReference(bit);
      Expect(frame.result == FrameResult::kPassed, "kept frame fails the reference check", run.firstFrame + k,
             bit);
      bit = frame.declaredEnd;
    }
    Expect(bit == run.endBit, "run end", bit, run.endBit);
  }
  return 0;
}
