// The sample library: every kind of file it promises, nested folders, mixed
// case extensions, a total near the target, the same library for the same
// seed, and every file behaving as its listing says when the real header
// reader and decoder meet it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>

#include "gentest.h"

namespace velkscan::test {
namespace {

using gen::FileKind;
using gen::LibraryFile;

TEST(Library, HoldsWhatItListsNearTheTargetSize) {
  ScratchDir dir;
  gen::LibraryOptions options;
  options.sizeMb = 6;
  options.seed = 3;
  const std::vector<LibraryFile> files = gen::GenerateLibrary(dir / "first", options);

  std::map<FileKind, int> kinds;
  std::set<std::string> damages, extensions;
  std::set<uint32_t> goodVersions;
  uint64_t total = 0;
  std::ptrdiff_t deepest = 0;
  bool tagFooter = false;
  for (const LibraryFile& f : files) {
    SCOPED_TRACE(f.path.string());
    const fs::path full = dir / "first" / f.path;
    ASSERT_TRUE(fs::is_regular_file(full));
    EXPECT_EQ(fs::file_size(full), f.size);
    total += f.size;
    ++kinds[f.kind];
    const std::string extension = f.path.extension().string();
    extensions.insert(extension);
    deepest = std::max(deepest, std::distance(f.path.begin(), f.path.end()));
    if (f.damage) damages.insert(gen::DamageName(f.damage->kind));
    if (f.kind == FileKind::Good) goodVersions.insert(f.streamVersion);
    if (f.kind == FileKind::Tagged) tagFooter |= (ReadBytes(full).at(5) & 0x10) != 0;
    std::string folded = extension;
    for (char& c : folded) c = static_cast<char>(c | 0x20);
    EXPECT_EQ(f.kind != FileKind::NotVelk, folded == ".vlk" || folded == ".vkq" || folded == ".vqk");
  }
  for (FileKind k :
       {FileKind::Good, FileKind::Tagged, FileKind::Broken, FileKind::Unrecognised, FileKind::NotVelk})
    EXPECT_GE(kinds[k], 2) << gen::FileKindName(k);
  EXPECT_EQ(damages.size(), gen::kAllDamageKinds.size());
  EXPECT_EQ(goodVersions, (std::set<uint32_t>{4, 5, 6, 7, 23}));
  EXPECT_TRUE(tagFooter);
  EXPECT_GE(deepest, 5);
  for (const char* ext : {".vlk", ".vkq", ".VLK", ".Vkq", ".vQK", ".txt", ".wav", ".bak"})
    EXPECT_TRUE(extensions.count(ext)) << ext;
  const double target = options.sizeMb * 1024 * 1024;
  EXPECT_GT(static_cast<double>(total), target * 0.9);
  EXPECT_LT(static_cast<double>(total), target * 1.1);

  const std::vector<LibraryFile> second = gen::GenerateLibrary(dir / "second", options);
  ASSERT_EQ(second.size(), files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    ASSERT_EQ(second[i].path, files[i].path);
    EXPECT_EQ(ReadBytes(dir / "second" / second[i].path), ReadBytes(dir / "first" / files[i].path));
  }
}

TEST(Library, EveryFileBehavesAsListed) {
  ScratchDir dir;
  gen::LibraryOptions options;
  options.sizeMb = 3;
  options.seed = 11;
  for (const LibraryFile& f : gen::GenerateLibrary(dir.path(), options)) {
    if (f.kind == FileKind::NotVelk) continue;
    SCOPED_TRACE(f.path.string() + " (" + gen::FileKindName(f.kind) + ")");
    const Walk w = WalkFile(dir / f.path, false);
    ASSERT_TRUE(w.opened);
    EXPECT_EQ(w.headerResult, f.headerResult);
    EXPECT_EQ(w.headerResult != 0, f.kind == FileKind::Unrecognised);
    if (w.headerResult != 0) continue;
    EXPECT_EQ(w.info.headerPos, f.headerPos);
    EXPECT_EQ(w.info.frameCount, f.declaredFrameCount);
    if (f.kind == FileKind::Broken) {
      ASSERT_TRUE(f.damage.has_value());
      EXPECT_EQ(w.frameOk, 0);
      EXPECT_LE(w.framesDecoded, f.damage->framesWhollyBefore + 1);
      if (f.damage->exactGood) {
        EXPECT_EQ(w.framesDecoded, *f.damage->exactGood);
      }
    } else {
      EXPECT_EQ(w.frameOk, 1);
      EXPECT_EQ(w.framesDecoded, f.frames);
      EXPECT_EQ(f.frames, f.declaredFrameCount);
      EXPECT_EQ(f.headerPos > 0, f.kind == FileKind::Tagged);
    }
  }
}

}  // namespace
}  // namespace velkscan::test
