// FileStream on real files: raw transfer counts and 32-bit positions, which files open, files
// of 2 GiB and more, a failed read told apart from the end of a file.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "platform/filestream.h"
#include "stream/streaminfo.h"
#include "streamtest.h"

#ifdef _WIN32
#include "platform/win32/winapi.h"
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace velkscan {
namespace {

using test::Bytes;
using test::ScratchDir;
using test::ToText;

// Reads give what is there (nothing at the end, and no error); writes overwrite in place, past the end
// after a gap of zeros, and a read-only handle writes nothing.
TEST(FileStream, TransfersGiveTheBytesMoved) {
  ScratchDir dir;
  const Bytes content = test::FrameData(50);
  test::WriteBytes(dir / "s.vlk", content);
  FileStream stream(OpenFileForScan(ToText(dir / "s.vlk"), true));
  uint8_t buffer[64] = {};
  ASSERT_EQ(stream.Seek(40, kFromStart), 40u);
  EXPECT_EQ(stream.Read(buffer, 16), 10u);
  EXPECT_EQ(stream.Read(buffer, 16), 0u);
  EXPECT_FALSE(stream.ReadError());
  EXPECT_EQ(0, std::memcmp(buffer, content.data() + 40, 10));
  for (int32_t count : {-1, 0}) EXPECT_EQ(stream.Write(buffer, count), 0u);
  ASSERT_EQ(stream.Seek(52, kFromStart), 52u);
  EXPECT_EQ(stream.Write("\xA1\xB2", 2), 2u);
  Bytes expected = content;
  expected.insert(expected.end(), {0, 0, 0xA1, 0xB2});
  EXPECT_EQ(test::ReadBytes(dir / "s.vlk"), expected);
  FileStream readOnly(OpenFileForScan(ToText(dir / "s.vlk"), false));
  EXPECT_EQ(readOnly.Write("x", 1), 0u);
  EXPECT_EQ(test::ReadBytes(dir / "s.vlk"), expected);
}

// A seek gives the new position, or fails where it would go below 0 and stays.
TEST(FileStream, SeeksGiveTheNewPositionOrFailInPlace) {
  ScratchDir dir;
  test::WriteBytes(dir / "s.vlk", test::FrameData(50));
  FileStream stream(OpenFileForScan(ToText(dir / "s.vlk"), false));
  const std::tuple<int32_t, int, uint32_t> seeks[] = {{0, kFromEnd, 50},
                                                      {10, kFromEnd, 60},
                                                      {-15, kFromCurrent, 5},
                                                      {7, kFromStart, 7},
                                                      {-1, kFromStart, kSeekFailed},
                                                      {-51, kFromEnd, kSeekFailed},
                                                      {0, 3, kSeekFailed}};
  for (const auto& [offset, origin, result] : seeks) {
    ASSERT_EQ(stream.Seek(20, kFromStart), 20u);
    EXPECT_EQ(stream.Seek(offset, origin), result) << offset << " " << origin;
    EXPECT_EQ(stream.Tell(), result == kSeekFailed ? 20u : result);
  }
}

TEST(FileStream, OpensOnlyExistingPlainFiles) {
  ScratchDir dir;
  test::WriteBytes(dir / "sized.vkq", test::FrameData(1234));
  std::filesystem::create_directory(dir / "folder.vlk");
  for (const char* name : {"missing.vlk", "folder.vlk"}) {
    for (bool forWriting : {false, true})
      EXPECT_EQ(OpenFileForScan(ToText(dir / name), forWriting), kInvalidHandle);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "missing.vlk"));  // never created
  Text withNul = ToText(dir / "sized.vkq");  // a name cut short by a NUL would open another file
  withNul += Char(0);
  EXPECT_EQ(OpenFileForScan(withNul, false), kInvalidHandle);
  EXPECT_EQ(FileSizeOf(ToText(dir / "sized.vkq")), 1234u);
  EXPECT_EQ(FileSizeOf(ToText(dir / "missing.vlk")), 0u);
  EXPECT_TRUE(IsDirectory(ToText(dir / "folder.vlk")));
  EXPECT_FALSE(IsDirectory(ToText(dir / "sized.vkq")));
#ifndef _WIN32
  // A FIFO is refused without waiting for a writer (in a child: a hang would otherwise stop the test).
  ASSERT_EQ(::mkfifo((dir / "pipe.vlk").c_str(), 0600), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(10);
    ::_exit(OpenFileForScan(ToText(dir / "pipe.vlk"), false) == kInvalidHandle ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
#endif
}

TEST(FileStream, AFailedReadIsNotTheEndOfTheFile) {
  ScratchDir dir;  // a handle on which reading fails in the operating system itself
  std::filesystem::create_directory(dir / "folder");
#ifdef _WIN32
  test::WriteBytes(dir / "w.vlk", Bytes(8));
  FileStream stream(CreateFileW((dir / "w.vlk").wstring().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
#else
  FileStream stream(::open((dir / "folder").c_str(), O_RDONLY | O_DIRECTORY));
#endif
  uint8_t buffer[8];
  EXPECT_TRUE(stream.Read(buffer, 8) == 0u && stream.ReadError());
}

// Sparse files past 2 GiB and 4 GiB: positions stay 32-bit, what does not fit fails instead of wrapping, and
// the header reader takes the low 32 bits of the length (-1 when the seek to the end fails).
TEST(FileStream, LargeFilesKeep32BitPositions) {
  ScratchDir dir;
  const auto path = dir / "large.vlk";
  test::WriteBytes(path, test::Sv7Header{.frameCount = 1000}.Build());
  std::error_code error;
  std::filesystem::resize_file(path, 0x80000010u, error);
  if (error) GTEST_SKIP() << "no sparse file of 2 GiB: " << error.message();
  auto stream = std::make_unique<FileStream>(OpenFileForScan(ToText(path), false));
  StreamInfo info{};
  ASSERT_EQ(ReadStreamHeader(info, *stream), HeaderResult::kOk);
  EXPECT_EQ(info.fileLength, static_cast<int32_t>(0x80000010u));
  EXPECT_EQ(stream->Seek(INT32_MAX, kFromStart), 0x7FFFFFFFu);  // beyond it only relatively
  EXPECT_EQ(stream->Seek(16, kFromCurrent), 0x8000000Fu);
  uint8_t buffer[4];
  EXPECT_EQ(stream->Read(buffer, 4), 1u);
  std::filesystem::resize_file(path, 0x100000010u, error);  // 4 GiB + 16
  if (error) GTEST_SKIP() << "no sparse file of 4 GiB: " << error.message();
  stream = std::make_unique<FileStream>(OpenFileForScan(ToText(path), false));
  info = StreamInfo{};
  ASSERT_EQ(ReadStreamHeader(info, *stream), HeaderResult::kOk);
  EXPECT_EQ(info.fileLength, -1);
  EXPECT_EQ(FileSizeOf(ToText(path)), 0x10u);  // the low 32 bits
  ASSERT_EQ(stream->Seek(100, kFromStart), 100u);
  for (int32_t offset : {0, -16, -17}) {  // 4 GiB, beyond, and 0xFFFFFFFF itself
    EXPECT_EQ(stream->Seek(offset, kFromEnd), kSeekFailed) << offset;
    EXPECT_EQ(stream->Tell(), 100u) << offset;
  }
  EXPECT_EQ(stream->Seek(-18, kFromEnd), 0xFFFFFFFEu);
}

}  // namespace
}  // namespace velkscan
