// Shared pieces of the damage map and salvage tests: the check and map of a file on disk, its bits,
// and every version with every kind of damage written and mapped once.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <thread>
#include <vector>

#include "decoder/framedecoder.h"
#include "recover/damagemap.h"
#include "recover/salvage.h"
#include "scan/filecheck.h"
#include "stream/testfiles.h"
#include "support/memorystream.h"
#include "support/process.h"
#include "support/snapshot.h"
#include "support/streams.h"
#include "velkgen/random.h"

namespace velkscan {
using test::Bytes;
using test::Has;
namespace fs = std::filesystem;

struct Checked {
  FileOutcome outcome;
  StreamInfo info{};
  DamageMap map;
};

// The scan's check of a file, then the map from its first failed frame (or from frame 0 of a whole file).
inline Checked CheckAndMap(const fs::path& path) {
  Checked c;
  FileCheck check;
  if (!check.Open(test::ToText(path), FileCheckOptions{false, false}, c.outcome)) return c;
  while (check.CheckFrame(c.outcome) == FileCheck::Step::kPassed) {
  }
  c.info = *check.info;
  const bool broken = c.outcome.status == FileStatus::kBroken;
  c.map = MapDamage(*check.stream, c.info, c.outcome.declaredFrames, broken ? c.outcome.goodFrames : 0,
                    broken ? c.outcome.failAt.value().bit : FirstFrameBit(c.info));
  return c;
}

// A bit of the file in the word grid of s's header, moved by align bytes.
inline int BitAt(const gen::GeneratedStream& s, const Bytes& bytes, uint64_t fileBit, uint32_t align = 0) {
  const uint64_t byte = s.ByteOfBit(fileBit) + align;
  return byte < bytes.size() ? (bytes[byte] >> gen::GeneratedStream::BitInByte(fileBit)) & 1 : -1;
}

inline bool SameBits(const gen::GeneratedStream& s, const Bytes& a, uint64_t atA, const Bytes& b,
                     uint64_t atB, uint64_t count, uint32_t alignB = 0) {
  for (uint64_t i = 0; i < count; ++i)
    if (BitAt(s, a, atA + i) != BitAt(s, b, atB + i, alignB) || BitAt(s, a, atA + i) < 0) return false;
  return true;
}

// Each version with each kind of damage, in both profiles, with and without
// a tag, written to disk and mapped once for the tests below.
class DamageMapTest : public ::testing::Test {
 protected:
  struct Case {
    gen::GeneratedStream original, damaged;
    gen::DamageReport damage;
    fs::path path;
    Checked c;
    uint64_t base = 0;                // stream bit 0 as a bit of the file
    uint64_t wordLo = 0, wordHi = 0;  // the damaged bytes, widened to whole words
    std::string trace;
  };

  static void SetUpTestSuite() {
    // Every salvaged copy is synced: on a memory file system that takes no time.
    if (fs::is_directory("/dev/shm")) setenv("VELKSCAN_TEST_TMP", "/dev/shm", 1);
    dir_ = new test::ScratchDir(("recover_" + std::to_string(getpid()) + "_").c_str());
    for (uint32_t version : {4u, 5u, 6u, 7u, 23u}) {
      for (gen::DamageKind kind : gen::kAllDamageKinds) {
        for (uint64_t seed = 1; seed <= 3; ++seed) {
          Case k;
          const uint64_t streamSeed = seed * 7919 + version;
          k.original = gen::GenerateStream(
              test::Options(version, 30 + static_cast<uint32_t>(seed * 7 % 40), streamSeed,
                            seed % 3 == 0 ? gen::TagKind::Id3v2 : gen::TagKind::None,
                            seed % 2 ? gen::Profile::Music : gen::Profile::Exhaustive));
          k.damaged = k.original;
          k.damage = gen::ApplyDamage(k.damaged, kind, streamSeed);
          k.trace = std::string(gen::DamageName(kind)) + " v" + std::to_string(version) + ": " +
                    k.damage.description;
          k.path = *dir_ / ("in " + std::to_string(cases_.size()) + ".vlk");
          test::WriteBytes(k.path, k.damaged.bytes);
          k.c = CheckAndMap(k.path);
          if (k.c.outcome.status == FileStatus::kOk) continue;  // the damage changed no frame bit
          const gen::GeneratedStream& s = k.damaged;
          k.base = 8 * (static_cast<uint64_t>(s.headerPos) +
                        static_cast<uint64_t>(FirstFrameOf(int32_t(version)).byteOffset));
          // Bytes moved by other than whole words scramble the bit order of everything behind them.
          k.wordLo = s.headerPos + (k.damage.offset - s.headerPos) / 4 * 4;
          k.wordHi =
              k.damage.shift % 4 != 0
                  ? UINT64_MAX
                  : s.headerPos +
                        (k.damage.offset + std::max<uint64_t>(k.damage.length, 1) - 1 - s.headerPos) / 4 * 4 +
                        3;
          cases_.push_back(std::move(k));
        }
      }
    }
  }
  static void TearDownTestSuite() {
    cases_.clear();
    delete dir_;
  }

  static inline test::ScratchDir* dir_ = nullptr;
  static inline std::vector<Case> cases_;
};

}  // namespace velkscan
