// Frame-check throughput of the checking path (direct-index lookups, only
// what steers the syntax kept) against the reference path (linear table
// scans, every value kept), over the same generated music-like streams held
// in memory, so the figures are the decoder's alone.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>

#include "decoder/framedecoder.h"
#include "stream/streaminfo.h"
#include "support/memorystream.h"
#include "velkgen/generator.h"

namespace velkscan {
namespace {

const gen::GeneratedStream& MusicStream(uint32_t version) {
  static std::map<uint32_t, gen::GeneratedStream> streams;
  auto it = streams.find(version);
  if (it == streams.end()) {
    gen::StreamOptions options;
    options.streamVersion = version;
    options.frameCount = 4000;
    options.profile = gen::Profile::Music;
    options.seed = 2026;
    it = streams.emplace(version, gen::GenerateStream(options)).first;
  }
  return it->second;
}

// Walks every frame as the scan worker does; returns the frames that passed.
template <bool kReference>
uint32_t WalkFrames(MemoryStream& stream) {
  stream.Seek(0, kFromStart);
  StreamInfo info{};
  if (ReadStreamHeader(info, stream) != HeaderResult::kOk) return 0;
  auto d = std::make_unique<FrameDecoder>(stream);
  d->Start(info);
  while ((kReference ? d->CheckNextFrameReference() : d->CheckNextFrame()) == FrameResult::kPassed) {
  }
  return d->framesDecoded;
}

template <bool kReference>
void BM_CheckFrames(benchmark::State& state) {
  const gen::GeneratedStream& generated = MusicStream(static_cast<uint32_t>(state.range(0)));
  MemoryStream stream(generated.bytes);
  uint32_t frames = 0;
  for (auto _ : state) {
    frames = WalkFrames<kReference>(stream);
    benchmark::DoNotOptimize(frames);
  }
  if (frames != generated.declaredFrameCount) state.SkipWithError("a generated frame failed the check");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(generated.bytes.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * frames);
  state.counters["frame_bytes"] = static_cast<double>(generated.bytes.size()) / frames;
}

BENCHMARK(BM_CheckFrames<false>)->Name("fast/version")->Arg(7)->Arg(6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckFrames<true>)->Name("reference/version")->Arg(7)->Arg(6)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velkscan

BENCHMARK_MAIN();
