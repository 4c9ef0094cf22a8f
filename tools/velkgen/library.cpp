// Sample libraries: a folder of files of every kind the checker meets, and
// music up to a target size.
#include <algorithm>
#include <fstream>

#include "velkgen/generator.h"
#include "velkgen/random.h"

namespace velkscan::gen {

void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

const char* FileKindName(FileKind kind) {
  switch (kind) {
    case FileKind::Good:
      return "good";
    case FileKind::Tagged:
      return "tagged";
    case FileKind::Broken:
      return "broken";
    case FileKind::Unrecognised:
      return "unrecognised";
    case FileKind::NotVelk:
      return "not-velk";
  }
  return "?";
}

namespace {

// Per-file seeds: independent streams from one library seed.
uint64_t FileSeed(uint64_t librarySeed, uint64_t index) {
  uint64_t state = librarySeed * 0x9E3779B97F4A7C15ull + index;
  return SplitMix64(state);
}

class LibraryWriter {
 public:
  LibraryWriter(std::filesystem::path dir, uint64_t seed) : dir_(std::move(dir)), seed_(seed) {}

  LibraryFile& Add(const std::filesystem::path& rel, FileKind kind, const Bytes& bytes) {
    const std::filesystem::path full = dir_ / rel;
    std::filesystem::create_directories(full.parent_path());
    WriteFile(full, bytes);
    LibraryFile f;
    f.path = rel;
    f.kind = kind;
    f.size = bytes.size();
    total_ += bytes.size();
    files_.push_back(std::move(f));
    return files_.back();
  }

  LibraryFile& AddStream(const std::filesystem::path& rel, FileKind kind, const GeneratedStream& s) {
    LibraryFile& f = Add(rel, kind, s.bytes);
    f.streamVersion = s.streamVersion;
    f.frames = static_cast<uint32_t>(s.frames.size());
    f.declaredFrameCount = s.declaredFrameCount;
    f.headerPos = s.headerPos;
    return f;
  }

  StreamOptions Options(uint32_t version, uint32_t frames, Profile profile) {
    StreamOptions o;
    o.streamVersion = version;
    o.frameCount = frames;
    o.profile = profile;
    o.seed = FileSeed(seed_, next_++);
    return o;
  }

  uint64_t total() const { return total_; }
  std::vector<LibraryFile>& files() { return files_; }

 private:
  std::filesystem::path dir_;
  uint64_t seed_;
  uint64_t next_ = 0;
  uint64_t total_ = 0;
  std::vector<LibraryFile> files_;
};

constexpr double kMusicFrameBytes = 650;  // about what a music-profile frame takes

std::string Padded(uint32_t n, int width) {
  std::string s = std::to_string(n);
  return std::string(s.size() < static_cast<size_t>(width) ? width - s.size() : 0, '0') + s;
}

}  // namespace

std::vector<LibraryFile> GenerateLibrary(const std::filesystem::path& dir, const LibraryOptions& options) {
  namespace fs = std::filesystem;
  LibraryWriter lib(dir, options.seed);
  Rng rng(FileSeed(options.seed, 0xFFFF'FFFFull));
  const double target = std::max(0.0, options.sizeMb) * 1024 * 1024;
  // Small files for the special cases: a little of the whole each.
  const uint32_t smallFrames =
      static_cast<uint32_t>(std::clamp(target / 120 / kMusicFrameBytes, 24.0, 400.0));
  const uint32_t versions[] = {4, 5, 6, 7, 23};

  // Every syntax feature, every version.
  for (uint32_t v : versions) {
    const StreamOptions o = lib.Options(v, smallFrames, Profile::Exhaustive);
    lib.AddStream(fs::path("Exhaustive") / ("all features v" + std::to_string(v) + ".vlk"), FileKind::Good,
                  GenerateStream(o));
  }

  // Behind ID3v2 tags, with and without the footer flag.
  {
    const struct {
      uint32_t version;
      TagKind tag;
      const char* name;
    } tagged[] = {{7, TagKind::Id3v2, "tagged v7.vlk"},
                  {5, TagKind::Id3v2Footer, "tagged with footer v5.vlk"},
                  {23, TagKind::Id3v2Footer, "tagged with footer v23.vkq"},
                  {4, TagKind::Id3v2, "tagged v4.vlk"}};
    for (const auto& t : tagged) {
      StreamOptions o = lib.Options(t.version, smallFrames, Profile::Music);
      o.tag = t.tag;
      lib.AddStream(fs::path("Tagged") / t.name, FileKind::Tagged, GenerateStream(o));
    }
  }

  // One file per damage, across the versions; one of them behind a tag.
  {
    uint32_t i = 0;
    for (DamageKind kind : kAllDamageKinds) {
      const uint32_t v = versions[i % 5];
      StreamOptions o = lib.Options(v, smallFrames, Profile::Music);
      if (kind == DamageKind::Zero) o.tag = TagKind::Id3v2;
      GeneratedStream s = GenerateStream(o);
      const DamageReport d = ApplyDamage(s, kind, o.seed);
      LibraryFile& f = lib.AddStream(
          fs::path("Broken") / (std::string(DamageName(kind)) + " v" + std::to_string(v) + ".vlk"),
          FileKind::Broken, s);
      f.damage = d;
      f.note = d.description;
      ++i;
    }
    // Broken at the very first frame: versions 4 and 5 store the count plus
    // one, so a repair to 0 good frames is a case of its own.
    for (uint32_t v : {4u, 5u}) {
      GeneratedStream s = GenerateStream(lib.Options(v, smallFrames, Profile::Music));
      const uint64_t bit = s.frames[0].lengthFieldBit + 19;
      DamageReport d;
      d.kind = DamageKind::Flip;
      d.offset = s.ByteOfBit(bit);
      d.exactGood = 0;
      FlipBit(s.bytes, d.offset, GeneratedStream::BitInByte(bit));
      d.length = 1;
      d.description = "length field of frame 1 changed";
      LibraryFile& f = lib.AddStream(fs::path("Broken") / ("first frame v" + std::to_string(v) + ".vlk"),
                                     FileKind::Broken, s);
      f.damage = d;
      f.note = d.description;
    }
  }

  // Headers the reader rejects, and files that only look like streams.
  {
    auto unrecognised = [&](const char* name, const Bytes& bytes, int32_t code, const char* why) {
      LibraryFile& f = lib.Add(fs::path("Unrecognised") / name, FileKind::Unrecognised, bytes);
      f.headerResult = code;
      f.note = why;
    };
    GeneratedStream future = GenerateStream(lib.Options(7, 8, Profile::Music));
    future.bytes[3] = 0x08;
    unrecognised("future version.vlk", future.bytes, 1, "VKQ with version byte 0x08");

    GeneratedStream block = GenerateStream(lib.Options(5, 8, Profile::Music));
    block.bytes[0] = static_cast<uint8_t>((block.bytes[0] & 0xC0) | 2);  // block field 2
    unrecognised("bad block field.vlk", block.bytes, 4, "older layout with block field 2");

    GeneratedStream stereo = GenerateStream(lib.Options(6, 8, Profile::Music));
    stereo.bytes[2] |= 0x40;  // bit 22 of word 0
    unrecognised("second stereo.vkq", stereo.bytes, 3, "older layout with the second stereo flag set");

    GeneratedStream seven = GenerateStream(lib.Options(6, 8, Profile::Music));
    // Version field (word 0 bits 20-11) := 7.
    uint32_t w0 = seven.bytes[0] | (seven.bytes[1] << 8) | (seven.bytes[2] << 16) |
                  (static_cast<uint32_t>(seven.bytes[3]) << 24);
    w0 = (w0 & ~(0x3FFu << 11)) | (7u << 11);
    for (int b = 0; b < 4; ++b) seven.bytes[b] = static_cast<uint8_t>(w0 >> (8 * b));
    unrecognised("old layout version 7.vlk", seven.bytes, 1, "older layout with version field 7");

    GeneratedStream badTag = GenerateStream(lib.Options(7, 8, Profile::Music));
    Bytes tagged = {'I', 'D', '3', 4, 0, 0x01, 0, 0, 0, 0};
    tagged.insert(tagged.end(), badTag.bytes.begin(), badTag.bytes.end());
    unrecognised("malformed tag.vlk", tagged, 1, "ID3v2 tag header with flag bit 0 set");

    const std::string text = "These are my notes about the Velk files in this folder.\n";
    unrecognised("notes.vlk", Bytes(text.begin(), text.end()), 2, "a text file");
    unrecognised("empty.vqk", Bytes{}, 3, "an empty file");
  }

  // Extensions in mixed case.
  {
    const char* names[] = {"Loud.VLK", "Quiet.Vkq", "Other.vQK"};
    uint32_t i = 0;
    for (const char* name : names) {
      const uint32_t v = versions[(3 + i++) % 5];
      lib.AddStream(fs::path("Mixed Case") / name, FileKind::Good,
                    GenerateStream(lib.Options(v, smallFrames, Profile::Music)));
    }
  }

  // Files the extension filter must skip.
  {
    const std::string readme = "Sample library written by velkgen.\n";
    lib.Add(fs::path("Other") / "readme.txt", FileKind::NotVelk, Bytes(readme.begin(), readme.end()));
    Bytes wav = {'R', 'I', 'F', 'F', 36 + 64, 0, 0,   0,   'W', 'A',  'V',  'E', 'f', 'm',  't',
                 ' ', 16,  0,   0,   0,       1, 0,   2,   0,   0x44, 0xAC, 0,   0,   0x10, 0xB1,
                 2,   0,   4,   0,   16,      0, 'd', 'a', 't', 'a',  64,   0,   0,   0};
    wav.resize(wav.size() + 64, 0);
    lib.Add(fs::path("Other") / "sound.wav", FileKind::NotVelk, wav);
    const GeneratedStream copy = GenerateStream(lib.Options(7, smallFrames, Profile::Music));
    lib.AddStream(fs::path("Other") / "backup.vlk.bak", FileKind::NotVelk, copy);
    lib.AddStream(fs::path("Other") / "vlk", FileKind::NotVelk, copy);
  }

  // Deep nesting.
  lib.AddStream(fs::path("Deep") / "1" / "2" / "3" / "4" / "5" / "6" / "7" / "8" / "deep.vlk", FileKind::Good,
                GenerateStream(lib.Options(6, smallFrames, Profile::Music)));

  // Music until the target size: artists, albums, tracks.
  const double averageFile = std::clamp(target / 40, 64.0 * 1024, 6.0 * 1024 * 1024);
  uint32_t artist = 1, album = 1, track = 1;
  while (static_cast<double>(lib.total()) + averageFile / 4 < target) {
    const double bytes = averageFile * (0.5 + rng.Below(1001) / 1000.0);
    const double remaining = target - static_cast<double>(lib.total());
    const uint32_t frames =
        static_cast<uint32_t>(std::max(8.0, std::min(bytes, remaining) / kMusicFrameBytes));
    const uint32_t pick = rng.Below(20);
    const uint32_t v = pick < 11 ? 7 : pick < 14 ? 23 : pick < 16 ? 6 : pick < 18 ? 5 : 4;
    StreamOptions o = lib.Options(v, std::min<uint32_t>(frames, 65534), Profile::Music);
    const bool tag = rng.OneIn(10);
    if (tag) o.tag = rng.OneIn(2) ? TagKind::Id3v2 : TagKind::Id3v2Footer;
    const char* ext = v >= 7 && rng.OneIn(4) ? ".vkq" : ".vlk";
    const fs::path rel = fs::path("Music") / ("Artist " + Padded(artist, 2)) /
                         ("Album " + std::to_string(album)) / (Padded(track, 2) + " Track" + ext);
    lib.AddStream(rel, tag ? FileKind::Tagged : FileKind::Good, GenerateStream(o));
    if (++track > 2 + rng.Below(10)) {
      track = 1;
      if (++album > 1 + rng.Below(3)) {
        album = 1;
        ++artist;
      }
    }
  }
  return std::move(lib.files());
}

}  // namespace velkscan::gen
