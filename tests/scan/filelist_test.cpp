// The file list: filter, case folding, duplicates, the walk and its links, drops and command
// lines, sizes, over-long paths (its cost: bench/filelist_bench).
#include "scan/filelist.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "platform/directory.h"
#include "stream/testfiles.h"

namespace velkscan {
namespace {

using test::ScratchDir;
using test::ToText;
namespace fs = std::filesystem;

void Touch(const fs::path& path, size_t size = 0) {
  test::WriteBytes(path, test::Bytes(size, 0x42));
}

TEST(FileListFilter, TheThreeExtensionsInAnyCaseOfAToZ) {
  const std::pair<const char*, bool> cases[] = {
      {"/n/a.vlk", true},      {"/n/b.VKQ", true},
      {"/n/c.vQk", true},      {"/n/.vlk", true},
      {"a.b/.vqk", true},      {"/n/x.vlk.bak", false},
      {"/n/x.vlk ", false},    {"/n/x.mp3", false},
      {"/n/novlk", false},     {"", false},
      {"/n/x.vl", false},      {"/n/x.vlkk", false},
      {"/n/dir.vlk/f", false}, {"/n/x.v\xc5\x82k", false},
  };
  for (const auto& [path, taken] : cases) {
    FileList list;
    EXPECT_TRUE(list.AddFile(path)) << path;  // a file never fails
    EXPECT_EQ(list.count(), taken ? 1u : 0u) << path;
    EXPECT_EQ(HasVelkExtension(path), taken) << path;
  }
}

// Each file is listed and its bytes counted once, whether named by itself or by its folder; a name that names
// nothing is listed with 0 bytes. Linux names do not fold: b.vlk and B.VLK are two files. A clear keeps the
// bytes counted and forgets the names.
TEST(FileListFilter, EachFileListedAndCountedOnceThroughAClear) {
  ScratchDir dir;
  test::WriteBytes(dir / "f" / "b.vlk", {1});
  test::WriteBytes(dir / "f" / "B.VLK", {2, 3});
  const Text lower = ToText(dir / "f" / "b.vlk"), upper = ToText(dir / "f" / "B.VLK"),
             gone = ToText(dir / "g.vlk");
  FileList list;
  list.AddPaths({ToText(dir / "f"), lower, upper});
  list.AddFile(gone);
  EXPECT_EQ(list.paths, (std::vector<Text>{upper, lower, gone}));
  EXPECT_EQ(list.totalBytes, 3u);
  list.ClearFileList();
  EXPECT_TRUE(list.count() == 0u && list.totalBytes == 3u);
  list.AddFile(lower);
  EXPECT_EQ(list.count(), 1u);
  // Where names fold (Windows), only A to Z do: accented letters and [/{ stay apart.
  EXPECT_EQ(FoldLettersAZ("abz-AZ_\xc3\xa9\xc3\x89{`"), "ABZ-AZ_\xc3\xa9\xc3\x89{`");
}

// The duplicate check holds while its table grows: a thousand names given again in reverse and through a
// join stay a thousand, and names a byte apart ("a/b" and "a/b c") stay two.
TEST(FileListFilter, EachOfAThousandNamesListedOnceAsTheIndexGrows) {
  std::vector<Text> names;
  for (int i = 0; i < 1000; ++i)
    names.push_back("/n/a/b" + Text(i % 3 ? " c/" : "/") + std::to_string(i) + ".vlk");
  FileList list, other;
  for (const Text& name : names) list.AddFile(name);
  for (auto name = names.rbegin(); name != names.rend(); ++name) other.AddFile(*name);
  other.AddFile("/n/a/b/0.vlK");
  EXPECT_EQ(list.Join(other), 1u);
  EXPECT_EQ(list.count(), 1001u);
  names.push_back("/n/a/b/0.vlK");
  EXPECT_EQ(list.paths, names);
}

TEST(FileListFilter, JoiningAddsOneSeparator) {
  const char* joins[][2] = {{"", "x.vlk"}, {"/", "/x.vlk"}, {"a", "a/x.vlk"}, {"a/", "a/x.vlk"}};
  for (const auto& [directory, joined] : joins) {
    Text out;
    JoinPath(out, directory, "x.vlk");
    EXPECT_EQ(out, joined) << directory;
  }
}

class FileListWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    // Created in an order unlike the sorted one, so the listing's sort shows.
    for (const char* name : {"z.vlk", "b/d.vkq", "b/c.VLK", "a.vqk", ".hidden.vlk", "notes.txt", "B.vlk",
                             "folder.vlk/inner.vlk", "b/deeper/e.vlk"})
      Touch(dir_ / "lib" / name);
  }
  Text Root() const { return ToText(dir_ / "lib"); }
  Text In(const char* relative) const { return ToText(dir_ / "lib" / relative); }
  std::vector<Text> In(std::initializer_list<const char*> relatives) const {
    std::vector<Text> paths;
    for (const char* relative : relatives) paths.push_back(In(relative));
    return paths;
  }

  ScratchDir dir_;
};

// Hidden files too, and folders named like Velk files are walked.
TEST_F(FileListWalk, AWalkIsDepthFirstInNameOrder) {
  FileList list;
  EXPECT_TRUE(list.AddDirectory(Root() + "/"));  // a trailing separator is not doubled
  EXPECT_EQ(list.paths, In({".hidden.vlk", "B.vlk", "a.vqk", "b/c.VLK", "b/d.vkq", "b/deeper/e.vlk",
                            "folder.vlk/inner.vlk", "z.vlk"}));
}

TEST_F(FileListWalk, AFileDroppedWithItsFolderIsListedOnceFirst) {
  FileList dropped;
  dropped.AddPaths({In("z.vlk"), In("z.vlk"), Root()});
  EXPECT_EQ(dropped.count(), 8u);
  EXPECT_EQ(dropped.paths[0], In("z.vlk"));
  EXPECT_EQ(std::count(dropped.paths.begin(), dropped.paths.end(), In("z.vlk")), 1);
}

TEST_F(FileListWalk, SymbolicLinks) {
  Touch(dir_ / "elsewhere" / "x.vlk");
  fs::create_directory_symlink(dir_ / "elsewhere", dir_ / "lib" / "link-out");
  fs::create_directory_symlink(dir_ / "lib" / "b", dir_ / "lib" / "link-to-dir");
  fs::create_directory_symlink(dir_ / "lib", dir_ / "lib" / "b" / "loop");
  fs::create_symlink(dir_ / "lib" / "z.vlk", dir_ / "lib" / "link-to-file.vlk");
  fs::create_symlink(dir_ / "lib" / "z.vlk", dir_ / "lib" / "link-to-file.txt");
  fs::create_symlink(dir_ / "lib" / "gone", dir_ / "lib" / "dangling");
  fs::create_symlink("self", dir_ / "lib" / "self");
  fs::create_symlink(dir_ / "lib" / "gone.vlk", dir_ / "lib" / "gone.vlk");
  FileList list;
  list.AddDirectory(Root());
  // A link to a folder is walked, each real folder once (b, met before link-to-dir, and the loop back up add
  // nothing); a link to a file counts as a file under its own name; a link to nothing is said to be one,
  // unless its Velk extension makes it a file whose open fails in its turn.
  EXPECT_EQ(list.paths,
            In({".hidden.vlk", "B.vlk", "a.vqk", "b/c.VLK", "b/d.vkq", "b/deeper/e.vlk",
                "folder.vlk/inner.vlk", "gone.vlk", "link-out/x.vlk", "link-to-file.vlk", "z.vlk"}));
  ASSERT_EQ(list.notChecked.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(list.notChecked[i].path, In(i == 0 ? "dangling" : "self"));
    EXPECT_EQ(list.notChecked[i].reason, NotCheckedReason::kLinkNowhere);
  }
  // Named on its own, a link to b leads up to lib through b's loop: each folder still walked once.
  FileList named;
  named.AddPath(In("link-to-dir"));
  EXPECT_EQ(named.paths, In({"link-to-dir/c.VLK", "link-to-dir/d.vkq", "link-to-dir/deeper/e.vlk",
                             "link-to-dir/loop/.hidden.vlk", "link-to-dir/loop/B.vlk",
                             "link-to-dir/loop/a.vqk", "link-to-dir/loop/folder.vlk/inner.vlk",
                             "link-to-dir/loop/gone.vlk", "link-to-dir/loop/link-out/x.vlk",
                             "link-to-dir/loop/link-to-file.vlk", "link-to-dir/loop/z.vlk"}));
}

TEST(FileListCommandLine, ArgumentsSplitAtUnquotedSpaces) {
  ScratchDir dir;
  for (const char* name : {"one.vlk", "two.vlk", "prog.vlk", "with space/x.vlk"}) Touch(dir / name);
  const Text one = ToText(dir / "one.vlk"), two = ToText(dir / "two.vlk");
  // The own command line skips the program's name; empty arguments are
  // skipped; a forwarded line takes every argument.
  const Text line = ToText(dir / "prog.vlk") + " " + one + "  " + two;
  FileList own, forwarded;
  own.AddCommandLine(line, true);
  EXPECT_EQ(own.paths, (std::vector<Text>{one, two}));
  forwarded.AddCommandLine(line, false);
  EXPECT_EQ(forwarded.count(), 3u);
  // Quoted arguments keep their spaces and lose their quotes; after the
  // closing quote, text up to the next unquoted space is ignored.
  FileList quoted;
  quoted.AddCommandLine("\"" + ToText(dir / "with space") + "\" \"" + one + "\"trailing-junk", false);
  EXPECT_EQ(quoted.paths, (std::vector<Text>{ToText(dir / "with space" / "x.vlk"), one}));
  // Only the space separates; quotes inside an unquoted argument are ordinary.
  EXPECT_EQ(CommandLineArguments("/m/a.vlk\t/m/b.vlk /m/say\"hi\".vlk", false),
            (std::vector<TextView>{"/m/a.vlk\t/m/b.vlk", "/m/say\"hi\".vlk"}));
}

TEST(FileListLimits, AnOverlongArgumentIsNeverCutShort) {
  FileList list;
  const Text longPath = "/m/" + Text(kArgumentPathLimit, 'x') + ".vlk";
  // Far beyond it: the report's table.
  list.AddPath(longPath.substr(0, kArgumentPathLimit - 4) + ".vlk");  // the limit itself: too long
  list.AddPath(longPath.substr(0, kArgumentPathLimit - 5) + ".vlk");  // one short of it: a file, listed
  ASSERT_EQ(list.notChecked.size(), 1u);
  EXPECT_TRUE(list.notChecked[0].path.size() == kArgumentPathLimit &&
              list.notChecked[0].reason == NotCheckedReason::kTooLong);
  EXPECT_TRUE(list.count() == 1 && list.paths[0].size() == kArgumentPathLimit - 1);
  list.ClearFileList();  // a window's next job does not report them again
  EXPECT_TRUE(list.notChecked.empty());
}

TEST(FileListLimits, AWalkReportsDirectoriesTooDeepToOpen) {
  ScratchDir dir;
  // A chain of directories deeper than a path can name, made relative to
  // each open directory, with a Velk file at every level.
  const std::string name(200, 'd');
  int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  int levels = 0;
  for (size_t depth = dir.path().string().size(); depth < kWalkPathLimit + 300; depth += name.size() + 1) {
    ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
    const int inner = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    ASSERT_GE(fd = inner, 0);
    const int file = openat(fd, "f.vlk", O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(file, 0);
    close(file);
    ++levels;
  }
  close(fd);
  FileList list;
  EXPECT_TRUE(list.AddDirectory(ToText(dir.path())));
  // Every file listed can be named; the first path too long is reported.
  ASSERT_FALSE(list.notChecked.empty());
  for (const Text& path : list.paths) EXPECT_LT(path.size(), kWalkPathLimit);
  EXPECT_GE(list.notChecked[0].path.size(), kWalkPathLimit);
  EXPECT_TRUE(list.count() > 0u && list.count() < static_cast<uint32_t>(levels)) << list.count();
  // GNU rm walks below the path limit; remove_all would stop at it.
  ASSERT_EQ(std::system(("rm -rf '" + (dir.path() / name).string() + "'").c_str()), 0);
}

}  // namespace
}  // namespace velkscan
