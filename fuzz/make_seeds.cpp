// Writes a fuzz target's seed corpus with the stream generator: short
// streams of every version, with and without an ID3v2 tag, in both profiles,
// whole and with each kind of damage.
//
//   fuzz_seeds frames DIR    whole files (the frame walk)
//   fuzz_seeds headers DIR   a 4-byte frame count, then the file's first
//                            bytes (the header repair)
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>

#include "velkgen/generator.h"

namespace gen = velkscan::gen;

namespace {

// Small inputs keep the fuzzer fast; a few frames cover the walk.
constexpr uint32_t kFrames = 4;
// Enough of a file for any header behind a short tag.
constexpr size_t kHeaderSeedBytes = 96;

void WriteHeaderSeeds(const std::filesystem::path& dir, const std::string& name, const gen::Bytes& file,
                      uint32_t declared) {
  const uint32_t counts[] = {0, 1, declared / 2, 65536};
  for (const uint32_t count : counts) {
    gen::Bytes seed = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8),
                       static_cast<uint8_t>(count >> 16), static_cast<uint8_t>(count >> 24)};
    seed.insert(seed.end(), file.begin(), file.begin() + std::min(file.size(), kHeaderSeedBytes));
    gen::WriteFile(dir / (name + "-count" + std::to_string(count)), seed);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool headers = argc == 3 && std::strcmp(argv[1], "headers") == 0;
  if (argc != 3 || (!headers && std::strcmp(argv[1], "frames") != 0)) {
    std::fprintf(stderr, "usage: fuzz_seeds frames|headers DIR\n");
    return 2;
  }
  const std::filesystem::path dir = argv[2];
  try {
    std::filesystem::create_directories(dir);
    uint64_t seed = 1;
    for (const uint32_t version : {4u, 5u, 6u, 7u, 23u}) {
      for (const gen::TagKind tag : {gen::TagKind::None, gen::TagKind::Id3v2, gen::TagKind::Id3v2Footer}) {
        for (const gen::Profile profile : {gen::Profile::Music, gen::Profile::Exhaustive}) {
          gen::StreamOptions options;
          options.streamVersion = version;
          options.frameCount = kFrames;
          options.profile = profile;
          options.tag = tag;
          options.tagBodySize = tag == gen::TagKind::None ? -1 : 16;
          options.seed = ++seed;
          const gen::GeneratedStream whole = gen::GenerateStream(options);
          const std::string name = "v" + std::to_string(version) + "-tag" +
                                   std::to_string(static_cast<int>(tag)) +
                                   (profile == gen::Profile::Music ? "-music" : "-exhaustive");
          if (headers) {
            WriteHeaderSeeds(dir, name, whole.bytes, whole.declaredFrameCount);
            continue;
          }
          gen::WriteFile(dir / name, whole.bytes);
          for (const gen::DamageKind kind : gen::kAllDamageKinds) {
            gen::GeneratedStream damaged = whole;
            gen::ApplyDamage(damaged, kind, seed);
            gen::WriteFile(dir / (name + "-" + gen::DamageName(kind)), damaged.bytes);
          }
        }
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fuzz_seeds: %s\n", e.what());
    return 1;
  }
  return 0;
}
