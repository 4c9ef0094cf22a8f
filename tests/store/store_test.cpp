// The store of checks through the real velkscan-cli: the content hash a check records, what
// --changed and --verify conclude, a store that survives kills and is never harmed.
#include <sys/stat.h>
#include <xxhash.h>

#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "store/checkstore.h"
#include "support/process.h"
#include "support/snapshot.h"
#include "support/storefile.h"
#include "support/streams.h"

namespace velkscan {
namespace {

namespace fs = std::filesystem;
using namespace test;  // NOLINT: the helpers of tests/support

class StoreTest : public ::testing::Test {
 protected:
  ProcessResult Cli(std::vector<std::string> args, ProcessOptions options = {}) {
    args.insert(args.begin(), {"--db", db_, "--priority", "normal"});  // an idle run waits for all else
    options.env.emplace_back("ASAN_OPTIONS", "verify_asan_link_order=0");
    return test::Run(VELKSCAN_CLI, args, options);
  }
  std::string Put(const std::string& name, const Bytes& bytes) {
    WriteBytes(dir_ / name, bytes);
    return (dir_ / name).string();
  }
  // The JSON object of each file, by path.
  std::map<std::string, nlohmann::json> Files(const ProcessResult& result) {
    std::map<std::string, nlohmann::json> files;
    for (const std::string& line : Lines(result.out)) {
      const auto object = nlohmann::json::parse(line);
      if (object["type"] == "file") files[object["path"]] = object;
    }
    return files;
  }
  std::string Library() {
    gen::GenerateLibrary(dir_ / "lib", {.sizeMb = 6, .seed = 9});
    return (dir_ / "lib").string();
  }
  // A broken file, checked once into the store.
  std::string BrokenFileChecked() {
    const std::string file = Put("f.vlk", MakeBroken(7, 40, 3, 8).bytes);
    EXPECT_EQ(Cli({file}).status, 1);
    return file;
  }
  test::ScratchDir dir_{"store_"};
  std::string db_ = (dir_.path() / "checks.sqlite").string();
};

std::string Xxh3Hex(const Bytes& bytes) {
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, XXH3_128bits(bytes.data(), bytes.size()));
  return Hex(Bytes(canonical.digest, canonical.digest + 16));
}

// The hash is of every byte of the file, whatever the check read: a tag it
// stepped over, the frames after a failed one, a header it could not take.
TEST_F(StoreTest, TheContentHashIsOfTheWholeFileFromTheChecksOwnPass) {
  const Bytes files[] = {MakeStream(7, 60, 1).bytes, MakeStream(5, 60, 2, gen::TagKind::Id3v2).bytes,
                         MakeBroken(6, 60, 5, 3).bytes, Bytes{'V', 'K', 'Q', 0x08, 1, 2, 3, 4, 5}};
  std::vector<std::string> paths;
  for (const Bytes& bytes : files) paths.push_back(Put("h/" + std::to_string(paths.size()) + ".vlk", bytes));
  for (const char* jobs : {"1", "2"}) {
    std::vector<std::string> args = {"--json", "-j", jobs};
    args.insert(args.end(), paths.begin(), paths.end());
    const auto found = Files(Cli(args));
    for (std::size_t i = 0; i < paths.size(); ++i)
      EXPECT_EQ(found.at(paths[i]).value("contentHash", ""), Xxh3Hex(files[i])) << paths[i];
  }
}

// A change the frame check cannot see: a byte of the tag changed, times put
// back. A plain check passes it; --verify reports it (exit 1) in every run, --history too, until --accept;
// the record of the content before stays.
TEST_F(StoreTest, VerifyFindsASilentChangeThatAPlainCheckPassesUntilAccepted) {
  gen::GeneratedStream stream = MakeStream(7, 60, 4, gen::TagKind::Id3v2);
  ASSERT_GT(stream.headerPos, 20);
  const std::string path = Put("a.vlk", stream.bytes);
  ASSERT_EQ(Cli({path}).status, 0);
  const std::string original = Xxh3Hex(stream.bytes);
  struct stat before;
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  stream.bytes[static_cast<std::size_t>(stream.headerPos) / 2] ^= 0x10;
  WriteBytes(path, stream.bytes);
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  EXPECT_EQ(test::Run(VELKSCAN_CLI, {"--priority", "normal", path}).status, 0);
  for (const char* changed : {"--verify", "--changed"}) {
    const std::string given = changed == std::string("--changed") ? "a.vlk" : path;  // named in its folder
    const ProcessResult verify = Cli({"--verify", changed, given}, {.cwd = dir_.path().string()});
    EXPECT_EQ(verify.status, 1);
    EXPECT_TRUE(Has(verify.out, given + ": changed since the check of ")) << verify.out;
    EXPECT_TRUE(Has(verify.out, ", though its size and modification time are the same.\n"));
  }
  EXPECT_EQ(nlohmann::json::parse(Cli({"--history", "--json", path}).out)["checks"][0]["silentChange"], true);
  EXPECT_EQ(Cli({"--accept", path}).out, path + ": its content now is accepted.\n");
  EXPECT_EQ(Cli({"--verify", path}).status, 0);
  EXPECT_EQ(nlohmann::json::parse(Cli({"--history", "--json", path}).out)["checks"].back()["contentHash"],
            original);
}

// --changed reads no byte of an unchanged file (its reads would fail), keeps a broken one's exit status,
// checks a touched, a new and a repaired one again, and counts the unchanged in the summary (a whole one is
// listed only when asked).
TEST_F(StoreTest, ChangedReadsOnlyWhatChanged) {
  const std::string whole = Put("c/whole.vlk", MakeStream(4, 40, 5).bytes);
  const std::string broken = Put("c/broken.vlk", MakeBroken(7, 40, 9, 6).bytes);
  ASSERT_EQ(Cli({(dir_ / "c").string()}).status, 1);
  const std::string added = Put("c/new.vlk", MakeStream(6, 40, 7).bytes);
  const ProcessOptions failing = FailIo("VELKSCAN_FAIL_READ=c/whole.vlk:0");
  const ProcessResult changed = Cli({"--changed", (dir_ / "c").string()}, failing);
  EXPECT_EQ(changed.status, 1);
  EXPECT_FALSE(Has(changed.out, whole)) << changed.out;  // counted below, not listed
  EXPECT_TRUE(Has(Cli({"--changed", "--list-unchanged", whole}, failing).out,
                  whole + ": unchanged since the check of "));
  EXPECT_TRUE(Has(changed.out, broken + ": unchanged since the check of "));
  EXPECT_TRUE(Has(changed.out, ", broken after frame 9/40 (00:00).\n"));
  EXPECT_FALSE(Has(changed.out, added + ": unchanged"));
  EXPECT_TRUE(Has(changed.out, "Scanned 3 files (2 unchanged), errors with 1.")) << changed.out;
  // Under --repair a broken file never repaired is checked (and repaired);
  // after that it is whole, and a touched file is checked again.
  const std::string journal = (dir_ / "repairs.journal").string();
  const ProcessResult repair = Cli({"--changed", "--repair", "--journal", journal, broken});
  EXPECT_TRUE(Has(repair.out, broken + ": broken after frame 9/40")) << repair.out;
  const timespec later[2] = {{UTIME_OMIT, 0}, {2000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, whole.c_str(), later, 0), 0);
  const ProcessResult again = Cli({"--changed", "--json", whole, broken}, failing);
  EXPECT_EQ(Files(again).at(whole)["status"], "read-error");  // read: its reads fail
  EXPECT_EQ(Files(again).at(broken)["unchanged"], true);
  EXPECT_EQ(Files(again).at(broken)["status"], "broken");
  const ProcessResult history = Cli({"--history", broken});
  EXPECT_EQ(Lines(history.out).size(), 3u) << history.out;  // the path, the repair, the check
  EXPECT_TRUE(Has(history.out, "repair  broken after frame 9/40")) << history.out;
  // An undo is recorded too, and is no failure of the store.
  EXPECT_EQ(Cli({"--undo", journal}).status, 0);
  const ProcessResult undone = Cli({"--history", broken});
  EXPECT_TRUE(Has(undone.out, "undo    restored")) << undone.out;
}

// Killed at any moment, a store opens whole.
TEST_F(StoreTest, AKillLeavesAStoreThatOpens) {
  const std::string lib = Library();
  std::mt19937 random(2);
  for (int round = 0; round < 6; ++round) {
    test::Process run(VELKSCAN_CLI, {"--db", db_, "-j", "2", "--priority", "normal", lib});
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 300));
    run.Signal(SIGKILL);
    run.Wait();
    store::CheckStore store;
    ASSERT_TRUE(store.Open(db_)) << "round " << round << ": " << store.error();
  }
}

TEST_F(StoreTest, TwoProgramsOnOneStoreBothRecordEveryCheck) {
  const std::string lib = Library();
  Cli({lib});
  const int64_t once = StoreRows(db_);  // every file that opened
  EXPECT_GT(once, 20);
  test::Process first(VELKSCAN_CLI, {"--db", db_, "--priority", "normal", "-j", "1", lib});
  const ProcessResult second = Cli({"-j", "1", lib});
  EXPECT_NE(first.Wait().status, 2);
  EXPECT_NE(second.status, 2) << second.err;
  EXPECT_EQ(StoreRows(db_), 3 * once);
}

// A store that cannot serve ends the run before any file is checked (exit 2, with the reason), and is left
// exactly as it was: another program's database (its journal mode in its bytes), one with our schema version
// but other tables, garbage, a damaged or newer store, an empty file.
TEST_F(StoreTest, AStoreThatCannotServeIsRefusedUntouched) {
  const std::string file = BrokenFileChecked();
  const Bytes good = ReadBytes(db_);
  Bytes damaged = good;
  for (std::size_t i = 100; i < damaged.size(); i += 97) damaged[i] ^= 0x5A;
  const std::string made[] = {(dir_.path() / "0.db").string(), (dir_.path() / "1.db").string(),
                              (dir_.path() / "2.db").string()};
  ExecSql(made[0], "PRAGMA application_id=1449874275; PRAGMA user_version=99");
  ExecSql(made[1], "CREATE TABLE contacts(name TEXT)");
  ExecSql(made[2], "CREATE TABLE checks(path TEXT); PRAGMA user_version=1; PRAGMA journal_mode=WAL");
  const std::pair<Bytes, std::string> stores[] = {
      {Bytes(5000, 'x'), "not a store of checks"}, {damaged, ""},
      {ReadBytes(made[0]), "newer version"},       {ReadBytes(made[1]), "another kind"},
      {ReadBytes(made[2]), "another kind"},        {Bytes(), "an empty file"},
  };
  for (const auto& [bytes, reason] : stores) {
    WriteBytes(db_, bytes);
    fs::remove(db_ + "-wal");
    const ProcessResult result = Cli({"--repair", file});
    EXPECT_EQ(result.status, 2) << result.out;
    EXPECT_TRUE(Has(result.err, "cannot use the store") && Has(result.err, reason)) << result.err;
    EXPECT_EQ(ReadBytes(db_), bytes);
    EXPECT_FALSE(fs::exists(db_ + "-wal") || fs::exists(db_ + "-shm"));  // nothing made beside it
    EXPECT_EQ(result.out, "");
  }
}

// A store's path is refused like the journal's (exit 2; for --history before it is looked for), and nothing
// is created; so is a default store of a relative HOME, with the reason.
TEST_F(StoreTest, AStorePathOfAFileToCheckOrOfSqlitesOwnIsRefused) {
  const std::string tree = (dir_ / "tree").string(), file = Put("tree/a.vlk", MakeStream(7, 20, 1).bytes);
  const std::vector<std::string> refused[] = {
      {"--db", file, file}, {"--db", tree + "/s.vlk", file},         {"--db", tree + "/sub/s.db", tree},
      {"--db", tree, file}, {"--db", ":memory:", "--history", file}, {"--db", "file:s.db", file}};
  for (const std::vector<std::string>& args : refused) {
    const ProcessResult result = test::Run(VELKSCAN_CLI, args, {.cwd = dir_.path().string()});
    EXPECT_EQ(result.status, 2) << args[1];
    EXPECT_TRUE(Has(result.err, "cannot use the store " + args[1] + ": ")) << result.err;
  }
  const ProcessResult home = test::Run(VELKSCAN_CLI, {"--remember", file},
                                       {.env = {{"HOME", "home"}, {"XDG_STATE_HOME", ""}}, .cwd = tree});
  EXPECT_TRUE(Has(home.err, "store of checks: neither XDG_STATE_HOME nor HOME is set to an absolute path\n"));
  EXPECT_EQ(std::distance(fs::recursive_directory_iterator(dir_.path()), {}), 2);  // tree, a.vlk
}

// A store of the version before (no application id, its exact columns) keeps its records and is marked.
TEST_F(StoreTest, AStoreOfTheVersionBeforeIsUpgraded) {
  const std::string file = Put("a.vlk", MakeStream(7, 20, 1).bytes);
  ASSERT_EQ(Cli({file}).status, 0);
  ExecSql(db_,
          "ALTER TABLE checks DROP COLUMN silent_change; PRAGMA application_id=0; PRAGMA user_version=1");
  EXPECT_EQ(Cli({file}).status, 0);
  EXPECT_EQ(StoreRows(db_), 2);
  const Bytes head = ReadBytes(db_);
  EXPECT_EQ(Hex(Bytes(head.begin() + 60, head.begin() + 72)), "0000000200000000566b5363");
}

// Another program holds the store's write lock with checks gathered: a stop ends the run at once (exit 130),
// says the last records were not written, and the store holds what was committed.
TEST_F(StoreTest, AStopEndsARunWhileAnotherProgramHoldsTheStore) {
  const std::string master = Put("lib/m.vlk", MakeStream(7, 20, 1).bytes);
  for (int i = 0; i < 400; ++i) fs::copy_file(master, dir_ / "lib" / (std::to_string(i) + ".vlk"));
  ASSERT_EQ(Cli({master}).status, 0);
  test::Process run(VELKSCAN_CLI, {"--db", db_, "--json", "-j", "1", (dir_ / "lib").string()});
  ASSERT_TRUE(run.ReadLines(1));
  const StoreLock lock(db_);
  ASSERT_TRUE(run.ReadLines(static_cast<std::size_t>(lock.rows)));  // a check recorded after the lock
  run.Signal(SIGTERM);
  const ProcessResult result = run.Wait();  // a stop that waited out the lock instead would be exit 4
  EXPECT_EQ(result.status, 130);
  EXPECT_TRUE(Has(result.err, "the last records of this run were not written\n")) << result.err;
  EXPECT_EQ(StoreRows(db_), lock.rows);
}

// One that fails during the run: exit 4, and the run says what is lost.
TEST_F(StoreTest, AStoreThatFailsDuringTheRunIsExit4) {
  const ProcessResult failed = Cli({BrokenFileChecked()}, FailIo("VELKSCAN_FAIL_WRITE=checks.sqlite-wal"));
  EXPECT_EQ(failed.status, 4);
  EXPECT_TRUE(Has(failed.err, "the results of this run are not all recorded")) << failed.err;
}

}  // namespace
}  // namespace velkscan
