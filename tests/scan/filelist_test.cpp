// The file list: filter, case folding, duplicates, the directory walk and its
// links, drops and command lines, sizes, over-long paths.
#include "scan/filelist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "platform/directory.h"
#include "scantest.h"

namespace velkscan {
namespace {

using test::ScratchDir;
using test::ToText;
namespace fs = std::filesystem;
using test::WriteBytes;

std::vector<Text> Listed(const FileList& list) {
  return list.paths;
}

void Touch(const fs::path& path, size_t size = 0) {
  WriteBytes(path, test::Bytes(size, 0x42));
}

TEST(FileListFilter, AcceptsTheThreeExtensionsInAnyCaseOfAToZ) {
  FileList list;
  for (const char* path : {"/n/a.vlk", "/n/b.VKQ", "/n/c.vQk", "/n/TRACK.VLK", "/n/.vlk"}) {
    EXPECT_EQ(list.AddFile(path), 0);
  }
  EXPECT_EQ(Listed(list), (std::vector<Text>{"/n/a.vlk", "/n/b.VKQ", "/n/c.vQk", "/n/TRACK.VLK", "/n/.vlk"}));
}

TEST(FileListFilter, RejectsOtherEndingsSilently) {
  FileList list;
  for (const char* path : {"/n/x.vlk.bak", "/n/x.vlk ", "/n/x.mp3", "/n/novlk", "", "/n/x.vl", "/n/x.vlkk",
                           "/n/dir.vlk/file", "/n/x.v\xc5\x82k"}) {
    EXPECT_EQ(list.AddFile(path), 0) << path;
  }
  EXPECT_EQ(list.count(), 0u);
  EXPECT_TRUE(HasVelkExtension("a.b/.vqk"));
  EXPECT_FALSE(HasVelkExtension("a.vlk/b"));
}

TEST(FileListFilter, FoldsOnlyLettersAToZ) {
  EXPECT_EQ(FoldLettersAZ("abz-AZ_\xc3\xa9\xc3\x89{`"), "ABZ-AZ_\xc3\xa9\xc3\x89{`");
  FileList list;
  list.AddFile("/music/Track.vlk");
  list.AddFile("/MUSIC/tRACK.VLK");  // the same file by the rule
  list.AddFile("/music/\xc3\xa9.vlk");
  list.AddFile("/music/\xc3\x89.vlk");  // another letter: not folded, another file
  list.AddFile("/music/[.vlk");
  list.AddFile("/music/{.vlk");  // '[' and '{' differ by the same bit as 'A' and 'a'
  EXPECT_EQ(Listed(list), (std::vector<Text>{"/music/Track.vlk", "/music/\xc3\xa9.vlk", "/music/\xc3\x89.vlk",
                                             "/music/[.vlk", "/music/{.vlk"}));
}

TEST(FileListSizes, SumsSizesOnceAndKeepsThemAcrossClear) {
  ScratchDir dir;
  Touch(dir / "a.vlk", 1000);
  Touch(dir / "b.vlk", 234);
  FileList list;
  list.AddFile(ToText(dir / "a.vlk"));
  list.AddFile(ToText(dir / "b.vlk"));
  list.AddFile(ToText(dir / "A.VLK"));     // not on disk (case matters there) but a duplicate here
  list.AddFile(ToText(dir / "gone.vlk"));  // names nothing: listed, 0 bytes
  EXPECT_EQ(list.count(), 3u);
  EXPECT_EQ(list.totalBytes, 1234u);
  list.ClearFileList();
  EXPECT_EQ(list.count(), 0u);
  EXPECT_EQ(list.totalBytes, 1234u);
  list.AddFile(ToText(dir / "a.vlk"));  // the duplicate index went with the clear
  EXPECT_EQ(list.count(), 1u);
}

TEST(FileListPaths, JoinPathAddsOneSeparator) {
  Text out;
  JoinPath(out, "", "x.vlk");
  EXPECT_EQ(out, "x.vlk");
  JoinPath(out, "/", "x.vlk");
  EXPECT_EQ(out, "/x.vlk");
  JoinPath(out, "a", "x.vlk");
  EXPECT_EQ(out, "a/x.vlk");
  JoinPath(out, "a/", "x.vlk");
  EXPECT_EQ(out, "a/x.vlk");
}

class FileListWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    // Created in an order unlike the sorted one, so the listing's sort shows.
    Touch(dir_ / "lib" / "z.vlk");
    Touch(dir_ / "lib" / "b" / "d.vkq");
    Touch(dir_ / "lib" / "b" / "c.VLK");
    Touch(dir_ / "lib" / "a.vqk");
    Touch(dir_ / "lib" / ".hidden.vlk");
    Touch(dir_ / "lib" / "notes.txt");
    Touch(dir_ / "lib" / "B.vlk");
    Touch(dir_ / "lib" / "folder.vlk" / "inner.vlk");
    Touch(dir_ / "lib" / "b" / "deeper" / "e.vlk");
  }
  Text Root() const { return ToText(dir_ / "lib"); }
  Text In(const char* relative) const { return ToText(dir_ / "lib" / relative); }

  ScratchDir dir_;
};

TEST_F(FileListWalk, DepthFirstInNameOrderWithHiddenFilesAndWalkedVlkFolders) {
  FileList list;
  EXPECT_EQ(list.AddDirectory(Root()), 1);
  EXPECT_EQ(Listed(list),
            (std::vector<Text>{In(".hidden.vlk"), In("B.vlk"), In("a.vqk"), In("b/c.VLK"), In("b/d.vkq"),
                               In("b/deeper/e.vlk"), In("folder.vlk/inner.vlk"), In("z.vlk")}));
}

TEST_F(FileListWalk, TrailingSeparatorIsNotDoubled) {
  FileList list;
  list.AddDirectory(Root() + "/");
  ASSERT_GT(list.count(), 0u);
  EXPECT_EQ(list.paths[0], In(".hidden.vlk"));
}

TEST_F(FileListWalk, MissingDirectoryAddsNothingAndIsNoError) {
  FileList list;
  EXPECT_EQ(list.AddDirectory(In("nothing-here")), 1);
  EXPECT_EQ(list.count(), 0u);
}

TEST_F(FileListWalk, DropOfAFileAndThenItsDirectoryListsItOnce) {
  FileList list;
  list.AddPaths({In("z.vlk"), In("z.vlk"), Root()});
  EXPECT_EQ(list.count(), 8u);
  EXPECT_EQ(list.paths[0], In("z.vlk"));
  EXPECT_EQ(std::count(list.paths.begin(), list.paths.end(), In("z.vlk")), 1);
}

TEST_F(FileListWalk, SymbolicLinks) {
  fs::create_directory_symlink(dir_ / "lib" / "b", dir_ / "lib" / "link-to-dir");
  fs::create_directory_symlink(dir_ / "lib", dir_ / "lib" / "b" / "loop");
  fs::create_symlink(dir_ / "lib" / "z.vlk", dir_ / "lib" / "link-to-file.vlk");
  fs::create_symlink(dir_ / "lib" / "z.vlk", dir_ / "lib" / "link-to-file.txt");
  fs::create_symlink(dir_ / "lib" / "gone", dir_ / "lib" / "dangling.vlk");
  FileList list;
  list.AddDirectory(Root());
  // Links to directories are never followed (no loop); a link to a file
  // counts as a file under its own name; a dangling one names nothing and
  // is listed like any missing path (its open fails at scan time).
  EXPECT_EQ(Listed(list),
            (std::vector<Text>{In(".hidden.vlk"), In("B.vlk"), In("a.vqk"), In("b/c.VLK"), In("b/d.vkq"),
                               In("b/deeper/e.vlk"), In("dangling.vlk"), In("folder.vlk/inner.vlk"),
                               In("link-to-file.vlk"), In("z.vlk")}));
  // A link to a directory named on its own is walked: the user chose it.
  FileList named;
  named.AddPath(In("link-to-dir"));
  EXPECT_EQ(Listed(named), (std::vector<Text>{In("link-to-dir/c.VLK"), In("link-to-dir/d.vkq"),
                                              In("link-to-dir/deeper/e.vlk")}));
}

TEST_F(FileListWalk, UnreadableDirectoryAddsNothing) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every directory";
  fs::permissions(dir_ / "lib" / "b", fs::perms::none);
  FileList list;
  EXPECT_EQ(list.AddDirectory(Root()), 1);
  fs::permissions(dir_ / "lib" / "b", fs::perms::owner_all);
  EXPECT_EQ(list.count(), 5u);
}

TEST(FileListCommandLine, OwnCommandLineSkipsTheProgramNameAndEmptyArguments) {
  ScratchDir dir;
  Touch(dir / "one.vlk");
  Touch(dir / "two.vlk");
  const Text line = ToText(dir / "prog.vlk") + " " + ToText(dir / "one.vlk") + "  " + ToText(dir / "two.vlk");
  FileList own;
  own.AddCommandLine(line, true);
  EXPECT_EQ(Listed(own), (std::vector<Text>{ToText(dir / "one.vlk"), ToText(dir / "two.vlk")}));
  FileList forwarded;  // a forwarded line: every argument taken
  forwarded.AddCommandLine(line, false);
  EXPECT_EQ(forwarded.count(), 3u);
}

TEST(FileListCommandLine, QuotedArgumentsKeepSpacesAndLoseTheirQuotes) {
  ScratchDir dir;
  Touch(dir / "with space" / "x.vlk");
  Touch(dir / "y.vlk");
  const Text quoted = "\"" + ToText(dir / "with space") + "\"";
  FileList list;
  // After the closing quote, text up to the next unquoted space is ignored.
  list.AddCommandLine(quoted + " \"" + ToText(dir / "y.vlk") + "\"trailing-junk", false);
  EXPECT_EQ(Listed(list), (std::vector<Text>{ToText(dir / "with space" / "x.vlk"), ToText(dir / "y.vlk")}));
}

TEST(FileListCommandLine, OnlyTheSpaceSeparates) {
  FileList list;
  list.AddCommandLine("/m/a.vlk\t/m/b.vlk", false);  // one argument, ending in ".vlk"
  EXPECT_EQ(Listed(list), (std::vector<Text>{"/m/a.vlk\t/m/b.vlk"}));
  FileList unquoted;
  unquoted.AddArgument("/m/say\"hi\".vlk rest");  // quotes inside an unquoted argument are ordinary
  EXPECT_EQ(Listed(unquoted), (std::vector<Text>{"/m/say\"hi\".vlk"}));
}

TEST(FileListLimits, AnOverlongArgumentIsNeverCutShort) {
  FileList list;
  const Text longPath = "/m/" + Text(kArgumentPathLimit, 'x') + ".vlk";
  const Text cut = longPath.substr(0, kArgumentPathLimit - 1);
  list.AddPath(longPath);
  list.AddPath(longPath.substr(0, kArgumentPathLimit - 5) + ".vlk");  // one short of the limit: taken
  EXPECT_EQ(list.count(), 1u);
  EXPECT_EQ(list.paths[0].size(), kArgumentPathLimit - 1);
  EXPECT_EQ(list.overlongPaths, (std::vector<Text>{longPath}));
  EXPECT_NE(list.paths[0], cut);
}

TEST(FileListLimits, AWalkReportsDirectoriesTooDeepToOpen) {
  ScratchDir dir;
  // Build a chain of directories deeper than a path can name, relative to
  // each open directory, with a Velk file at every level.
  const std::string name(200, 'd');
  int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  size_t depth = dir.path().string().size();
  int levels = 0;
  while (depth < kWalkPathLimit + 300) {
    ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
    const int inner = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    ASSERT_GE(inner, 0);
    fd = inner;
    const int file = openat(fd, "f.vlk", O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(file, 0);
    close(file);
    depth += name.size() + 1;
    ++levels;
  }
  close(fd);
  FileList list;
  EXPECT_EQ(list.AddDirectory(ToText(dir.path())), 1);
  ASSERT_FALSE(list.overlongPaths.empty());
  // Every file listed can be named; the first path too long is reported.
  for (const Text& path : list.paths) EXPECT_LT(path.size(), kWalkPathLimit);
  EXPECT_GE(list.overlongPaths[0].size(), kWalkPathLimit);
  EXPECT_LT(list.count(), static_cast<uint32_t>(levels));
  EXPECT_GT(list.count(), 0u);
  // GNU rm walks below the path limit; remove_all would stop at it.
  const std::string remove = "rm -rf '" + (dir.path() / name).string() + "'";
  ASSERT_EQ(std::system(remove.c_str()), 0);
}

TEST(FileListScale, HundredThousandFilesWithDuplicatesInSeconds) {
  FileList list;
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t i = 0; i < 100000; ++i)
    list.AddFile("/nowhere/album" + std::to_string(i % 1000) + "/t" + std::to_string(i) + ".vlk");
  for (uint32_t i = 0; i < 100000; i += 7)
    list.AddFile("/NOWHERE/ALBUM" + std::to_string(i % 1000) + "/T" + std::to_string(i) + ".VLK");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(list.count(), 100000u);
  EXPECT_EQ(list.paths[99999], "/nowhere/album999/t99999.vlk");
  std::printf("added 100000 files and 14286 duplicates in %.2f s\n", seconds);
}

}  // namespace
}  // namespace velkscan
