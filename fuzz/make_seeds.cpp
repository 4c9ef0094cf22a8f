// Writes a fuzz target's seed corpus with the stream generator: short
// streams of every version, with and without an ID3v2 tag, in both profiles,
// whole and with each kind of damage.
//
//   fuzz_seeds frames DIR    whole files (the frame walk)
//   fuzz_seeds headers DIR   a 4-byte frame count, then the file's first
//                            bytes (the header repair)
//   fuzz_seeds undo DIR      journals for the scratch tree of fuzz_undo
//   fuzz_seeds paths DIR     command lines for the file list
//   fuzz_seeds forwarded DIR messages of a second start of the Linux window
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>

#include "journal/journalline.h"
#include "scan/commandline.h"
#include "support/streams.h"
#include "undotree.h"

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

// Journals of genuine lines (the tree's files hold the "repaired" block,
// the old one differs in the count), of lines that must be refused, and of
// broken text.
void WriteUndoSeeds(const std::filesystem::path& dir) {
  using velkscan::journal::JournalEntry;
  std::string all;
  int n = 0;
  auto seed = [&](const std::string& text) {
    gen::WriteFile(dir / ("undo" + std::to_string(++n)), gen::Bytes(text.begin(), text.end()));
  };
  for (const velkscan::fuzz::TreeFile& file : velkscan::fuzz::UndoTreeFiles()) {
    JournalEntry entry;
    entry.path = std::string(velkscan::fuzz::kUndoTree) + "/" + file.name;
    entry.offset = static_cast<uint32_t>(file.headerPos);
    std::copy(file.bytes.begin() + file.headerPos, file.bytes.begin() + file.headerPos + 32, entry.after);
    std::copy(std::begin(entry.after), std::end(entry.after), entry.before);
    entry.before[6] ^= 0x01;
    entry.before[7] ^= 0x02;
    const std::string genuine = velkscan::journal::FormatJournalLine(entry);
    entry.before[1] ^= 0x40;  // outside the count
    const std::string outside = velkscan::journal::FormatJournalLine(entry);
    entry.offset += 1;
    const std::string moved = velkscan::journal::FormatJournalLine(entry);
    seed(genuine);
    seed(outside + moved);
    seed(genuine.substr(0, genuine.size() / 2));
    all += genuine;
  }
  seed(all);
  seed(std::string(velkscan::journal::kJournalHeading) + "\n" + all);
  seed(all + all + "velkscan-repair\t0\t00\n");
}

void WritePathSeeds(const std::filesystem::path& dir) {
  const char* lines[] = {"\x01prog a.vlk \"b c.vkq\" d.VQK e.txt", "\x00\"x.vlk\"y.vlk  z.vlk \"",
                         "\x01\"p q\" . .. a.vlk A.VLK a.vlk", "\x00 \t.vlk\t x.vlk.vlk \".vqk"};
  int n = 0;
  for (const char* line : lines) {
    const std::string text(line, line[0] == 0 ? 1 + std::strlen(line + 1) : std::strlen(line));
    gen::WriteFile(dir / ("paths" + std::to_string(++n)), gen::Bytes(text.begin(), text.end()));
  }
}

// Whole messages (names with spaces, line ends, any byte but zero), one cut
// short, one with bytes after its end, and names one a line.
void WriteForwardedSeeds(const std::filesystem::path& dir) {
  const std::string whole = velkscan::EncodeForwardedNames({"/home/u/a.vlk", "/m/x y\n\xff.vkq", "/"});
  const std::string texts[] = {whole, whole.substr(0, whole.size() - 1), whole + "/late.vlk" + whole,
                               velkscan::EncodeForwardedNames({}), std::string("/a.vlk\n\n/b\0c.vlk\n", 17)};
  int n = 0;
  for (const std::string& text : texts)
    gen::WriteFile(dir / ("forwarded" + std::to_string(++n)), gen::Bytes(text.begin(), text.end()));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[1] : "";
  const bool headers = mode == "headers";
  if (mode != "headers" && mode != "frames" && mode != "undo" && mode != "paths" && mode != "forwarded") {
    std::fprintf(stderr, "usage: fuzz_seeds frames|headers|undo|paths|forwarded DIR\n");
    return 2;
  }
  const std::filesystem::path dir = argv[2];
  try {
    std::filesystem::create_directories(dir);
    if (mode == "undo") WriteUndoSeeds(dir);
    if (mode == "paths") WritePathSeeds(dir);
    if (mode == "forwarded") WriteForwardedSeeds(dir);
    if (mode == "undo" || mode == "paths" || mode == "forwarded") return 0;
    uint64_t seed = 1;
    for (const uint32_t version : {4u, 5u, 6u, 7u, 23u}) {
      for (const gen::TagKind tag : {gen::TagKind::None, gen::TagKind::Id3v2, gen::TagKind::Id3v2Footer}) {
        for (const gen::Profile profile : {gen::Profile::Music, gen::Profile::Exhaustive}) {
          gen::StreamOptions options = velkscan::test::Options(version, kFrames, ++seed, tag, profile);
          options.tagBodySize = tag == gen::TagKind::None ? -1 : 16;
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
          // Frames behind 1 to 3 bytes inserted: found again in another byte alignment.
          if (tag == gen::TagKind::None && profile == gen::Profile::Music) {
            const gen::GeneratedStream longer =
                gen::GenerateStream(velkscan::test::Options(version, 3 * kFrames, seed, tag, profile));
            for (uint8_t n = 1; n <= 3; ++n) {
              gen::Bytes shifted = longer.bytes;
              gen::InsertBytes(shifted, longer.ByteOfBit(longer.frames[kFrames].lengthFieldBit) + 5,
                               gen::Bytes(n, 0x5A));
              gen::WriteFile(dir / (name + "-shift" + std::to_string(n)), shifted);
            }
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
