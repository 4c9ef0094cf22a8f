// The raw-result contract of the byte streams (transfer counts, 32-bit
// positions, kSeekFailed with the position kept), checked the same way on
// a real file and on memory, and the file-only calls: opening, sizes,
// directories, read-only handles, FIFOs, files of 2 GiB and more.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "stream/filestream.h"
#include "stream/memorystream.h"
#include "streamtest.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#endif

namespace velkscan {
namespace {

using test::Bytes;
using test::ReadWholeFile;
using test::ScratchDir;
using test::ToText;
using test::WriteWholeFile;

// A stream over given bytes, and the bytes as they are now.
class FileMaker {
 public:
  std::unique_ptr<ByteStream> Make(const Bytes& content) {
    WriteWholeFile(path_, content);
    const NativeHandle handle = OpenFileForScan(ToText(path_), true);
    EXPECT_NE(handle, kInvalidHandle);
    return std::make_unique<FileStream>(handle);
  }
  Bytes Content(ByteStream&) { return ReadWholeFile(path_); }

 private:
  ScratchDir dir_;
  std::filesystem::path path_ = dir_ / "stream.vlk";
};

class MemoryMaker {
 public:
  std::unique_ptr<ByteStream> Make(const Bytes& content) { return std::make_unique<MemoryStream>(content); }
  Bytes Content(ByteStream& stream) { return static_cast<MemoryStream&>(stream).bytes(); }
};

template <typename Maker>
class ByteStreamContract : public ::testing::Test {
 protected:
  Maker maker;
};

using Makers = ::testing::Types<FileMaker, MemoryMaker>;
TYPED_TEST_SUITE(ByteStreamContract, Makers);

TYPED_TEST(ByteStreamContract, ReadsReportBytesMovedAndStopAtEnd) {
  const Bytes content = test::FrameData(10);
  auto stream = this->maker.Make(content);

  uint8_t buffer[16] = {};
  EXPECT_EQ(stream->Read(buffer, 4), 4u);
  EXPECT_EQ(0, std::memcmp(buffer, content.data(), 4));
  EXPECT_EQ(stream->Tell(), 4u);

  // A read across the end moves what is there.
  EXPECT_EQ(stream->Read(buffer, 16), 6u);
  EXPECT_EQ(0, std::memcmp(buffer, content.data() + 4, 6));
  EXPECT_EQ(stream->Tell(), 10u);

  // At the end: nothing, position kept.
  EXPECT_EQ(stream->Read(buffer, 16), 0u);
  EXPECT_EQ(stream->Tell(), 10u);

  // Past the end (a seek there succeeds) reads nothing too.
  EXPECT_EQ(stream->Seek(100, kFromStart), 100u);
  EXPECT_EQ(stream->Read(buffer, 1), 0u);
  EXPECT_EQ(stream->Tell(), 100u);
}

TYPED_TEST(ByteStreamContract, NegativeAndZeroCountsMoveNothing) {
  const Bytes content = test::FrameData(10);
  auto stream = this->maker.Make(content);
  ASSERT_EQ(stream->Seek(3, kFromStart), 3u);

  uint8_t buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(stream->Read(buffer, -1), 0u);
  EXPECT_EQ(stream->Read(buffer, INT32_MIN), 0u);
  EXPECT_EQ(stream->Read(buffer, 0), 0u);
  EXPECT_EQ(buffer[0], 0xEE);
  const uint8_t source[4] = {1, 2, 3, 4};
  EXPECT_EQ(stream->Write(source, -4), 0u);
  EXPECT_EQ(stream->Write(source, 0), 0u);
  EXPECT_EQ(stream->Tell(), 3u);
  EXPECT_EQ(this->maker.Content(*stream), content);
}

TYPED_TEST(ByteStreamContract, SeekReturnsNewPositionForEachOrigin) {
  auto stream = this->maker.Make(test::FrameData(50));
  EXPECT_EQ(stream->Seek(0, kFromEnd), 50u);  // how the header reader learns the length
  EXPECT_EQ(stream->Tell(), 50u);
  EXPECT_EQ(stream->Seek(-10, kFromEnd), 40u);
  EXPECT_EQ(stream->Seek(-15, kFromCurrent), 25u);
  EXPECT_EQ(stream->Seek(5, kFromCurrent), 30u);
  EXPECT_EQ(stream->Seek(7, kFromStart), 7u);
  EXPECT_EQ(stream->Seek(0, kFromStart), 0u);
  EXPECT_EQ(stream->Seek(10, kFromEnd), 60u);  // beyond the end is allowed
}

TYPED_TEST(ByteStreamContract, FailedSeekReturnsAllBitsSetAndKeepsPosition) {
  auto stream = this->maker.Make(test::FrameData(50));
  ASSERT_EQ(stream->Seek(20, kFromStart), 20u);

  EXPECT_EQ(stream->Seek(-1, kFromStart), kSeekFailed);
  EXPECT_EQ(stream->Tell(), 20u);
  EXPECT_EQ(stream->Seek(-21, kFromCurrent), kSeekFailed);
  EXPECT_EQ(stream->Tell(), 20u);
  EXPECT_EQ(stream->Seek(-51, kFromEnd), kSeekFailed);
  EXPECT_EQ(stream->Tell(), 20u);
  EXPECT_EQ(stream->Seek(INT32_MIN, kFromEnd), kSeekFailed);
  EXPECT_EQ(stream->Tell(), 20u);
  // Only the three move methods exist.
  EXPECT_EQ(stream->Seek(0, 3), kSeekFailed);
  EXPECT_EQ(stream->Seek(0, 4), kSeekFailed);
  EXPECT_EQ(stream->Seek(0, -1), kSeekFailed);
  EXPECT_EQ(stream->Tell(), 20u);

  // The position really was kept: the next read starts there.
  uint8_t byte = 0;
  ASSERT_EQ(stream->Read(&byte, 1), 1u);
  EXPECT_EQ(byte, test::FrameData(50)[20]);
}

TYPED_TEST(ByteStreamContract, WritesOverwriteAndExtendAndReadBack) {
  const Bytes content = test::FrameData(16);
  auto stream = this->maker.Make(content);

  const uint8_t patch[3] = {0xA1, 0xB2, 0xC3};
  ASSERT_EQ(stream->Seek(5, kFromStart), 5u);
  EXPECT_EQ(stream->Write(patch, 3), 3u);
  EXPECT_EQ(stream->Tell(), 8u);

  // Past the end: the gap reads as zeros.
  ASSERT_EQ(stream->Seek(4, kFromEnd), 20u);
  EXPECT_EQ(stream->Write(patch, 3), 3u);

  Bytes expected = content;
  std::memcpy(expected.data() + 5, patch, 3);
  expected.resize(20, 0);
  expected.insert(expected.end(), patch, patch + 3);
  EXPECT_EQ(this->maker.Content(*stream), expected);

  Bytes back(expected.size());
  ASSERT_EQ(stream->Seek(0, kFromStart), 0u);
  EXPECT_EQ(stream->Read(back.data(), static_cast<int32_t>(back.size())), back.size());
  EXPECT_EQ(back, expected);
}

TYPED_TEST(ByteStreamContract, TruncateSetsLengthAndPosition) {
  const Bytes content = test::FrameData(40);
  auto stream = this->maker.Make(content);
  ASSERT_EQ(stream->Seek(30, kFromStart), 30u);

  EXPECT_EQ(stream->Truncate(-1), 0);  // refused: the file keeps its length
  EXPECT_EQ(this->maker.Content(*stream), content);

  EXPECT_NE(stream->Truncate(12), 0);
  EXPECT_EQ(stream->Tell(), 12u);
  EXPECT_EQ(stream->Seek(0, kFromEnd), 12u);
  EXPECT_EQ(this->maker.Content(*stream), Bytes(content.begin(), content.begin() + 12));
}

// A stream that keeps ByteStream's own Truncate.
class PlainStream final : public ByteStream {
 public:
  uint32_t Read(void*, int32_t) override { return 0; }
  uint32_t Write(const void*, int32_t) override { return 0; }
  uint32_t Seek(int32_t, int) override { return kSeekFailed; }
  uint32_t Tell() override { return 0; }
};

TEST(ByteStream, DefaultTruncateDoesNothing) {
  PlainStream stream;
  EXPECT_EQ(stream.Truncate(5), 0);
}

TEST(FileStream, OpenRefusesMissingFilesAndDirectoriesAndNeverCreates) {
  ScratchDir dir;
  const auto missing = dir / "missing.vlk";
  EXPECT_EQ(OpenFileForScan(ToText(missing), false), kInvalidHandle);
  EXPECT_EQ(OpenFileForScan(ToText(missing), true), kInvalidHandle);
  EXPECT_FALSE(std::filesystem::exists(missing));

  const auto folder = dir / "folder.vlk";
  std::filesystem::create_directory(folder);
  EXPECT_EQ(OpenFileForScan(ToText(folder), false), kInvalidHandle);
  EXPECT_EQ(OpenFileForScan(ToText(folder), true), kInvalidHandle);

  EXPECT_EQ(OpenFileForScan(Text(), false), kInvalidHandle);
  // A name cut short by a NUL would open another file.
  WriteWholeFile(dir / "a", Bytes{1});
  Text withNul = ToText(dir / "a");
  withNul.push_back(Char(0));
  withNul += VTEXT("b");
  EXPECT_EQ(OpenFileForScan(withNul, false), kInvalidHandle);
}

TEST(FileStream, ReadOnlyHandleRefusesWrites) {
  ScratchDir dir;
  const auto path = dir / "read-only.vlk";
  const Bytes content = test::FrameData(32);
  WriteWholeFile(path, content);

  FileStream stream(OpenFileForScan(ToText(path), false));
  ASSERT_NE(stream.handle(), kInvalidHandle);
  const uint8_t patch[4] = {9, 9, 9, 9};
  EXPECT_EQ(stream.Write(patch, 4), 0u);
  EXPECT_EQ(stream.Tell(), 0u);
  uint8_t buffer[32];
  EXPECT_EQ(stream.Read(buffer, 32), 32u);
  EXPECT_EQ(ReadWholeFile(path), content);
}

TEST(FileStream, WithoutHandleEverythingFails) {
  FileStream stream(kInvalidHandle);
  uint8_t buffer[4] = {};
  EXPECT_EQ(stream.Read(buffer, 4), 0u);
  EXPECT_EQ(stream.Write(buffer, 4), 0u);
  EXPECT_EQ(stream.Seek(0, kFromStart), kSeekFailed);
  EXPECT_EQ(stream.Tell(), kSeekFailed);
  EXPECT_EQ(stream.Truncate(0), 0);
}  // and its destruction closes nothing

TEST(FileStream, SizesAndDirectoryTest) {
  ScratchDir dir;
  const auto path = dir / "sized.vkq";
  WriteWholeFile(path, test::FrameData(1234));
  EXPECT_EQ(FileSizeOf(ToText(path)), 1234u);
  WriteWholeFile(dir / "empty.vqk", Bytes{});
  EXPECT_EQ(FileSizeOf(ToText(dir / "empty.vqk")), 0u);
  EXPECT_EQ(FileSizeOf(ToText(dir / "missing.vlk")), 0u);
  EXPECT_EQ(FileSizeOf(ToText(dir.path())), 0u);

  EXPECT_TRUE(IsDirectory(ToText(dir.path())));
  EXPECT_FALSE(IsDirectory(ToText(path)));
  EXPECT_FALSE(IsDirectory(ToText(dir / "missing")));
}

#ifndef _WIN32
TEST(FileStream, DestructionClosesTheDescriptor) {
  ScratchDir dir;
  const auto path = dir / "closed.vlk";
  WriteWholeFile(path, Bytes{1, 2, 3});
  const NativeHandle fd = OpenFileForScan(ToText(path), true);
  ASSERT_NE(fd, kInvalidHandle);
  EXPECT_NE(::fcntl(fd, F_GETFD), -1);
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);  // not inherited by child processes
  { FileStream stream(fd); }
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(FileStream, UnreadableFileHasSizeZero) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
  ScratchDir dir;
  const auto path = dir / "locked.vlk";
  WriteWholeFile(path, test::FrameData(100));
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  EXPECT_EQ(FileSizeOf(ToText(path)), 0u);
  EXPECT_EQ(OpenFileForScan(ToText(path), false), kInvalidHandle);
}

// Runs a call in a child process, so a call that hangs fails the test
// instead of stopping it. The child's exit code is the call's answer.
enum class ChildOutcome { kFalse, kTrue, kHung };

template <typename Call>
ChildOutcome RunInChild(Call call, std::chrono::seconds limit) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(call() ? 1 : 0);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(child, &status, WNOHANG) == child) {
      return WIFEXITED(status) && WEXITSTATUS(status) == 1 ? ChildOutcome::kTrue : ChildOutcome::kFalse;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, &status, 0);
  return ChildOutcome::kHung;
}

TEST(FileStream, FifoIsRefusedWithoutHanging) {
  ScratchDir dir;
  const auto fifo = dir / "pipe.vlk";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const Text path = ToText(fifo);
  for (bool forWriting : {false, true}) {
    const auto opened = RunInChild([&] { return OpenFileForScan(path, forWriting) != kInvalidHandle; },
                                   std::chrono::seconds(10));
    EXPECT_EQ(opened, ChildOutcome::kFalse) << "forWriting=" << forWriting;
  }
  const auto sized = RunInChild([&] { return FileSizeOf(path) == 0; }, std::chrono::seconds(10));
  EXPECT_EQ(sized, ChildOutcome::kTrue);
  EXPECT_FALSE(IsDirectory(path));
}

// A transfer is the OS's whole answer: a descriptor that delivers in pieces
// (here a pipe written in three bursts) still gives one full Read, and a
// Read across the writer's end returns what came.
TEST(FileStream, ReadGathersPartialTransfers) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const Bytes data = test::FrameData(3000, 5);
  std::thread writer([&] {
    for (size_t part = 0; part < 3; ++part) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      EXPECT_EQ(::write(ends[1], data.data() + part * 1000, 1000), 1000);
    }
    ::close(ends[1]);
  });
  FileStream stream(ends[0]);
  Bytes first(2500);
  EXPECT_EQ(stream.Read(first.data(), 2500), 2500u);
  Bytes rest(1000);
  EXPECT_EQ(stream.Read(rest.data(), 1000), 500u);
  writer.join();
  EXPECT_TRUE(std::equal(first.begin(), first.end(), data.begin()));
  EXPECT_TRUE(std::equal(rest.begin(), rest.begin() + 500, data.begin() + 2500));
}

TEST(FileStream, OpenedDescriptorBlocksAgain) {
  ScratchDir dir;
  const auto path = dir / "plain.vlk";
  WriteWholeFile(path, Bytes{1});
  FileStream stream(OpenFileForScan(ToText(path), false));
  ASSERT_NE(stream.handle(), kInvalidHandle);
  EXPECT_EQ(::fcntl(stream.handle(), F_GETFL) & O_NONBLOCK, 0);
}
#endif

// Sparse files past 2 GiB and 4 GiB: positions stay 32-bit, and what does
// not fit fails instead of wrapping.
class LargeFile : public ::testing::Test {
 protected:
  // A file of the given length whose first bytes are head; skips the test
  // when the file system cannot hold it sparsely.
  void MakeSparse(uint64_t length, const Bytes& head = {}) {
    path_ = dir_ / "large.vlk";
    WriteWholeFile(path_, head);
    std::error_code error;
    std::filesystem::resize_file(path_, length, error);
    if (error) GTEST_SKIP() << "no sparse file of " << length << " bytes: " << error.message();
    stream_ = std::make_unique<FileStream>(OpenFileForScan(ToText(path_), false));
    ASSERT_NE(stream_->handle(), kInvalidHandle);
  }

  ScratchDir dir_;
  std::filesystem::path path_;
  std::unique_ptr<FileStream> stream_;
};

TEST_F(LargeFile, PositionsBetween2And4GiBAreReachedRelatively) {
  const uint64_t length = 0x80000010u;
  MakeSparse(length);
  if (IsSkipped() || HasFatalFailure()) return;
  EXPECT_EQ(stream_->Seek(0, kFromEnd), 0x80000010u);
  EXPECT_EQ(FileSizeOf(ToText(path_)), 0x80000010u);
  EXPECT_EQ(stream_->Seek(INT32_MAX, kFromStart), 0x7FFFFFFFu);
  EXPECT_EQ(stream_->Seek(16, kFromCurrent), 0x8000000Fu);
  uint8_t buffer[4];
  EXPECT_EQ(stream_->Read(buffer, 4), 1u);
  EXPECT_EQ(stream_->Tell(), 0x80000010u);
}

TEST_F(LargeFile, PositionsBeyond32BitsFail) {
  const uint64_t length = 0x100000010u;  // 4 GiB + 16
  MakeSparse(length);
  if (IsSkipped() || HasFatalFailure()) return;
  EXPECT_EQ(FileSizeOf(ToText(path_)), 0x10u);  // the low 32 bits

  ASSERT_EQ(stream_->Seek(100, kFromStart), 100u);
  EXPECT_EQ(stream_->Seek(0, kFromEnd), kSeekFailed);
  EXPECT_EQ(stream_->Tell(), 100u);
  EXPECT_EQ(stream_->Seek(-16, kFromEnd), kSeekFailed);  // exactly 4 GiB
  EXPECT_EQ(stream_->Tell(), 100u);
  // Landing on 0xFFFFFFFF itself could not be told from a failure: it fails
  // and keeps the position.
  EXPECT_EQ(stream_->Seek(-17, kFromEnd), kSeekFailed);
  EXPECT_EQ(stream_->Tell(), 100u);
  EXPECT_EQ(stream_->Seek(-18, kFromEnd), 0xFFFFFFFEu);
  EXPECT_EQ(stream_->Seek(1, kFromCurrent), kSeekFailed);
  EXPECT_EQ(stream_->Tell(), 0xFFFFFFFEu);
  EXPECT_EQ(stream_->Seek(INT32_MAX, kFromCurrent), kSeekFailed);
  EXPECT_EQ(stream_->Tell(), 0xFFFFFFFEu);
}

TEST(MemoryStream, PositionsStayBelowTheFailureValue) {
  MemoryStream stream(Bytes(8));
  ASSERT_EQ(stream.Seek(INT32_MAX, kFromStart), 0x7FFFFFFFu);
  EXPECT_EQ(stream.Seek(INT32_MAX, kFromCurrent), 0xFFFFFFFEu);
  EXPECT_EQ(stream.Seek(1, kFromCurrent), kSeekFailed);
  EXPECT_EQ(stream.Tell(), 0xFFFFFFFEu);
  // A write there would end beyond 32 bits: nothing moves, nothing grows.
  const uint8_t bytes[2] = {1, 2};
  EXPECT_EQ(stream.Write(bytes, 2), 0u);
  EXPECT_EQ(stream.bytes().size(), 8u);
}

}  // namespace
}  // namespace velkscan
