// velkgen: writes Velk streams (valid or damaged) and sample libraries.
//
//   velkgen [--seed N] [--stream-version 4|5|6|7|23] [--frames N] [--max-band N]
//           [--mid-side] [--id3 [--id3-footer]] [--profile music|exhaustive]
//           [--damage truncate|flip|zero|insert|delete|overclaim [--damage-at BYTE]
//           [--damage-size N]] [--zero-every N] [--declare-frames N] OUT.vlk
//   velkgen --library DIR [--size-mb N] [--seed N] [--force]
//
// One summary line per file on stdout; exit 2 on bad usage.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

#include "cli/usage.h"
#include "velkgen/generator.h"
#include "velkscan_version.h"

namespace gen = velkscan::gen;

namespace {

constexpr int kUsageError = 2;

int UsageError(const std::string& message) {
  std::cerr << "velkgen: " << message << "\nRun 'velkgen --help' for usage.\n";
  return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Writes Velk streams from the frame syntax: valid, damaged, or a whole sample library.",
               "velkgen"};
  app.formatter(std::make_shared<velkscan::cli::GroupedHelp>(
      "Usage: velkgen [OPTIONS] OUT.vlk\n"
      "       velkgen --library DIR [--size-mb N] [--seed N] [--force]"));
  app.footer(
      "A library goes only into a new or empty folder unless --force is given. One line per file written "
      "on standard output.\n"
      "\n"
      "Exit status:\n"
      "  0    the file or library was written\n"
      "  1    it could not be written\n"
      "  2    bad usage\n");
  app.set_help_flag();  // added last, in its group

  uint64_t seed = 1;
  uint32_t version = 7;
  uint32_t frames = 500;
  int maxBand = -1;
  bool midSide = false;
  bool id3 = false, id3Footer = false;
  int tagSize = -1;
  std::string profile = "music";
  std::string damage;
  uint64_t damageAt = 0;
  uint32_t damageSize = 0, zeroEvery = 0, declareFrames = 0;
  std::string library;
  double sizeMb = 20;
  bool force = false;
  std::string out;

  const char* streams = "Streams";
  auto* outOpt = app.add_option("OUT", out, "Output file")->group(streams);
  app.add_option("--seed", seed, "Seed: the same seed gives the same bytes (a library's too)")
      ->type_name("N")
      ->group(streams);
  auto* versionOpt =
      app.add_option("--stream-version", version, "Stream version: 4, 5, 6, 7 or 23 (default 7)")
          ->check(CLI::IsMember({4, 5, 6, 7, 23}))
          ->type_name("V")
          ->group(streams);
  auto* framesOpt =
      app.add_option("--frames", frames, "Number of frames (default 500)")->type_name("N")->group(streams);
  auto* maxBandOpt = app.add_option("--max-band", maxBand, "Highest subband 0..31 (default: from the seed)")
                         ->check(CLI::Range(0, 31))
                         ->type_name("N")
                         ->group(streams);
  auto* midSideOpt = app.add_flag("--mid-side", midSide, "Set the mid/side flag")->group(streams);
  auto* id3Opt = app.add_flag("--id3", id3, "Put an ID3v2 tag in front of the stream")->group(streams);
  auto* footerOpt =
      app.add_flag("--id3-footer", id3Footer, "Set the tag's footer flag")->needs(id3Opt)->group(streams);
  auto* tagSizeOpt = app.add_option("--tag-size", tagSize, "Bytes of tag body (default: from the seed)")
                         ->needs(id3Opt)
                         ->check(CLI::Range(0, 0x0FFFFFFF))
                         ->type_name("N")
                         ->group(streams);
  auto* profileOpt = app.add_option("--profile", profile, "Content: music (default) or exhaustive")
                         ->check(CLI::IsMember({"music", "exhaustive"}))
                         ->type_name("KIND")
                         ->group(streams);
  const char* damaging = "Damage";
  auto* damageOpt =
      app.add_option("--damage", damage,
                     "Damage the stream after writing it: truncate, flip, zero, insert, delete or overclaim")
          ->check(CLI::IsMember({"truncate", "flip", "zero", "insert", "delete", "overclaim"}))
          ->type_name("KIND")
          ->group(damaging);
  auto* damageAtOpt =
      app.add_option("--damage-at", damageAt,
                     "Truncate, zero, insert or delete: the first byte damaged (default: from the seed)")
          ->needs(damageOpt)
          ->type_name("BYTE")
          ->group(damaging);
  auto* damageSizeOpt =
      app.add_option("--damage-size", damageSize,
                     "Zero, insert or delete: this many bytes (default: 4096 zeroed, 1 to 7 "
                     "inserted or deleted, from the seed)")
          ->needs(damageOpt)
          ->check(CLI::Range(1, 1 << 24))
          ->type_name("N")
          ->group(damaging);
  auto* zeroEveryOpt =
      app.add_option("--zero-every", zeroEvery,
                     "Zero the bytes that hold the length field of every Nth frame: damage that repeats")
          ->check(CLI::Range(1u, UINT32_MAX))
          ->type_name("N")
          ->group(damaging);
  auto* declareOpt = app.add_option("--declare-frames", declareFrames,
                                    "Set the frame count the header declares (0: none), whatever the frames")
                         ->type_name("N")
                         ->group(damaging);
  const char* libraries = "Libraries";
  auto* libraryOpt = app.add_option("--library", library, "Write a sample library into this directory")
                         ->type_name("DIR")
                         ->group(libraries);
  auto* sizeOpt = app.add_option("--size-mb", sizeMb, "Library: target total size in MiB (default 20)")
                      ->needs(libraryOpt)
                      ->check(CLI::Range(0.0, 100000.0))
                      ->type_name("N")
                      ->group(libraries);
  app.add_flag("--force", force, "Library: write into a folder that is not empty, replacing same-named files")
      ->needs(libraryOpt)
      ->group(libraries);
  app.set_help_flag("-h,--help", "Print this help and exit")->group("Output");
  app.set_version_flag("--version", std::string("velkgen ") + VELKSCAN_VERSION)
      ->description("Print the version and exit")
      ->group("Output");

  for (CLI::Option* o : {versionOpt, framesOpt, maxBandOpt, midSideOpt, id3Opt, footerOpt, tagSizeOpt,
                         profileOpt, damageOpt, damageAtOpt, damageSizeOpt, zeroEveryOpt, declareOpt, outOpt})
    libraryOpt->excludes(o);
  (void)sizeOpt;

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return velkscan::cli::ReportParseError(app, e, "velkgen", kUsageError);
  }

  try {
    if (!library.empty()) {
      std::error_code error;
      if (!force && std::filesystem::exists(library, error) && !std::filesystem::is_empty(library, error))
        return UsageError(library + " is not empty: its files would be replaced (use --force)");
      gen::LibraryOptions options;
      options.sizeMb = sizeMb;
      options.seed = seed;
      const auto files = gen::GenerateLibrary(library, options);
      uint64_t total = 0;
      for (const gen::LibraryFile& f : files) {
        total += f.size;
        std::cout << (std::filesystem::path(library) / f.path).string() << ": " << gen::FileKindName(f.kind)
                  << ", " << f.size << " bytes";
        if (f.streamVersion != 0)
          std::cout << ", version " << f.streamVersion << ", " << f.frames << " frames (header "
                    << f.declaredFrameCount << "), header at " << f.headerPos;
        if (!f.note.empty()) std::cout << ", " << f.note;
        std::cout << '\n';
      }
      std::cout << files.size() << " files, " << total << " bytes\n";
      return 0;
    }

    if (out.empty()) return UsageError("name an output file, or --library DIR");
    gen::StreamOptions options;
    options.seed = seed;
    options.streamVersion = version;
    options.frameCount = frames;
    options.maxBand = maxBand;
    options.midSide = midSide;
    options.profile = profile == "exhaustive" ? gen::Profile::Exhaustive : gen::Profile::Music;
    options.tag = !id3 ? gen::TagKind::None : id3Footer ? gen::TagKind::Id3v2Footer : gen::TagKind::Id3v2;
    options.tagBodySize = tagSize;
    if (std::string fault = gen::CheckOptions(options); !fault.empty()) return UsageError(fault);

    if (declareOpt->count() > 0) {
      if (damage == "overclaim")
        return UsageError("--declare-frames and --damage overclaim both set the count");
      if (version == 4 && declareFrames > 65534)
        return UsageError("a version-4 header declares at most 65534 frames");
      if (version == 5 && declareFrames == UINT32_MAX)
        return UsageError("a version-5 header declares at most 4294967294 frames");
    }
    gen::DamagePlace place;
    if (damageAtOpt->count() > 0) place.offset = damageAt;
    if (damageSizeOpt->count() > 0) place.count = damageSize;

    gen::GeneratedStream stream = gen::GenerateStream(options);
    // The repeated damage goes by the frames where the generator put them,
    // so before --damage moves any byte.
    std::string repeated;
    if (zeroEvery > 0) {
      const auto zeroed = gen::ZeroEveryLengthField(stream, zeroEvery);
      const size_t fields = stream.frames.size() > 0 ? (stream.frames.size() - 1) / zeroEvery : 0;
      repeated = ", damage: length fields zeroed every " + std::to_string(zeroEvery) + " frames (" +
                 std::to_string(fields) + " fields, " + std::to_string(zeroed.size()) + " bytes)";
    }
    if (declareOpt->count() > 0) {
      gen::OverClaim(stream.bytes, stream.headerPos, version, declareFrames);
      stream.declaredFrameCount = declareFrames;
    }
    std::string summary = gen::Describe(stream, options) + repeated;
    if (!damage.empty()) {
      if (stream.frames.size() < 2) return UsageError("damage needs at least 2 frames");
      if (damage == "overclaim" && version == 4 && frames >= 65534)
        return UsageError("a version-4 header cannot claim more than 65534 frames");
      const gen::DamageKind kind = *gen::DamageFromName(damage);
      if (std::string fault = gen::CheckPlace(kind, place, stream.bytes.size()); !fault.empty())
        return UsageError(fault);
      const gen::DamageReport report = gen::ApplyDamage(stream, kind, seed, place);
      summary += ", damage: " + report.description + " (" + std::to_string(report.framesWhollyBefore) +
                 " frames wholly before it";
      if (report.length > 0)
        summary += "; bytes " + std::to_string(report.offset) + "-" +
                   std::to_string(report.offset + report.length - 1) + " changed";
      if (report.shift != 0) summary += "; later bytes moved by " + std::to_string(report.shift);
      summary += ")";
    }
    gen::WriteFile(out, stream.bytes);
    std::cout << out << ": " << summary << '\n';
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "velkgen: " << e.what() << '\n';
    return 1;
  }
}
