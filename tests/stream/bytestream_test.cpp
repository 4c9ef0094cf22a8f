// The raw-result contract of the byte streams (transfer counts, 32-bit
// positions, kSeekFailed with the position kept), the same on a real file
// and on memory, and the file-only calls: opening, sizes, read-only
// handles, FIFOs, files of 2 GiB and more.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "platform/filestream.h"
#include "stream/streaminfo.h"
#include "streamtest.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#endif

namespace velkscan {
namespace {

using test::Bytes;
using test::ReadBytes;
using test::ScratchDir;
using test::ToText;
using test::WriteBytes;

// A stream over given bytes, and the bytes as they are now.
class FileMaker {
 public:
  std::unique_ptr<ByteStream> Make(const Bytes& content) {
    WriteBytes(path_, content);
    const NativeHandle handle = OpenFileForScan(ToText(path_), true);
    EXPECT_NE(handle, kInvalidHandle);
    return std::make_unique<FileStream>(handle);
  }
  Bytes Content(ByteStream&) { return ReadBytes(path_); }

 private:
  ScratchDir dir_;
  test::fs::path path_ = dir_ / "stream.vlk";
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

TYPED_TEST(ByteStreamContract, TransfersReportBytesMoved) {
  const Bytes content = test::FrameData(10);
  auto stream = this->maker.Make(content);
  uint8_t buffer[16] = {};
  EXPECT_EQ(stream->Read(buffer, 4), 4u);
  EXPECT_EQ(stream->Read(buffer + 4, 16), 6u);  // across the end: what is there
  EXPECT_EQ(0, std::memcmp(buffer, content.data(), 10));
  EXPECT_EQ(stream->Read(buffer, 16), 0u);  // at the end: nothing, position kept
  EXPECT_EQ(stream->Tell(), 10u);
  EXPECT_EQ(stream->Seek(100, kFromStart), 100u);  // past the end: reads nothing either
  EXPECT_EQ(stream->Read(buffer, 1), 0u);
  EXPECT_EQ(stream->Tell(), 100u);

  // Negative and zero counts move nothing.
  ASSERT_EQ(stream->Seek(3, kFromStart), 3u);
  buffer[0] = 0xEE;
  for (int32_t count : {-1, INT32_MIN, 0}) {
    EXPECT_EQ(stream->Read(buffer, count), 0u) << count;
    EXPECT_EQ(stream->Write(buffer, count), 0u) << count;
  }
  EXPECT_EQ(buffer[0], 0xEE);
  EXPECT_EQ(stream->Tell(), 3u);
  EXPECT_EQ(this->maker.Content(*stream), content);

  // Writes overwrite, extend, and past the end leave a gap of zeros.
  const uint8_t patch[3] = {0xA1, 0xB2, 0xC3};
  EXPECT_EQ(stream->Write(patch, 3), 3u);
  EXPECT_EQ(stream->Tell(), 6u);
  ASSERT_EQ(stream->Seek(4, kFromEnd), 14u);
  EXPECT_EQ(stream->Write(patch, 3), 3u);
  Bytes expected = content;
  std::memcpy(expected.data() + 3, patch, 3);
  expected.resize(14, 0);
  expected.insert(expected.end(), patch, patch + 3);
  EXPECT_EQ(this->maker.Content(*stream), expected);
  Bytes back(expected.size());
  ASSERT_EQ(stream->Seek(0, kFromStart), 0u);
  EXPECT_EQ(stream->Read(back.data(), static_cast<int32_t>(back.size())), back.size());
  EXPECT_EQ(back, expected);
}

TYPED_TEST(ByteStreamContract, SeekGivesTheNewPositionOrFailsKeepingIt) {
  const Bytes content = test::FrameData(50);
  auto stream = this->maker.Make(content);
  // Seek(0, kFromEnd) is how the header reader learns the length; only the
  // three move methods exist.
  const struct {
    int32_t offset;
    int origin;
    uint32_t result;
  } cases[] = {{0, kFromEnd, 50},
               {-10, kFromEnd, 40},
               {10, kFromEnd, 60},
               {-15, kFromCurrent, 5},
               {5, kFromCurrent, 25},
               {7, kFromStart, 7},
               {0, kFromStart, 0},
               {-1, kFromStart, kSeekFailed},
               {-21, kFromCurrent, kSeekFailed},
               {-51, kFromEnd, kSeekFailed},
               {INT32_MIN, kFromEnd, kSeekFailed},
               {0, 3, kSeekFailed},
               {0, -1, kSeekFailed}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "offset " << c.offset << ", origin " << c.origin);
    ASSERT_EQ(stream->Seek(20, kFromStart), 20u);
    EXPECT_EQ(stream->Seek(c.offset, c.origin), c.result);
    EXPECT_EQ(stream->Tell(), c.result == kSeekFailed ? 20u : c.result);
  }
  // After a failed seek the next read starts where the stream was.
  ASSERT_EQ(stream->Seek(20, kFromStart), 20u);
  ASSERT_EQ(stream->Seek(-1, kFromStart), kSeekFailed);
  uint8_t byte = 0;
  ASSERT_EQ(stream->Read(&byte, 1), 1u);
  EXPECT_EQ(byte, content[20]);
}

TYPED_TEST(ByteStreamContract, TruncateSetsLengthAndPosition) {
  const Bytes content = test::FrameData(40);
  auto stream = this->maker.Make(content);
  ASSERT_EQ(stream->Seek(30, kFromStart), 30u);
  EXPECT_EQ(stream->Truncate(-1), 0);  // refused: the length stays
  EXPECT_EQ(this->maker.Content(*stream), content);
  EXPECT_NE(stream->Truncate(12), 0);
  EXPECT_EQ(stream->Tell(), 12u);
  EXPECT_EQ(this->maker.Content(*stream), Bytes(content.begin(), content.begin() + 12));
}

TEST(FileStream, OpensOnlyExistingPlainFilesAndMeasuresThem) {
  ScratchDir dir;
  WriteBytes(dir / "sized.vkq", test::FrameData(1234));
  WriteBytes(dir / "empty.vqk", Bytes{});
  std::filesystem::create_directory(dir / "folder.vlk");
  for (const char* missing : {"missing.vlk", "folder.vlk"}) {
    for (bool forWriting : {false, true}) {
      EXPECT_EQ(OpenFileForScan(ToText(dir / missing), forWriting), kInvalidHandle) << missing;
    }
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "missing.vlk"));  // never created
  EXPECT_EQ(OpenFileForScan(Text(), false), kInvalidHandle);
  // A name cut short by a NUL would open another file.
  Text withNul = ToText(dir / "sized.vkq");
  withNul.push_back(Char(0));
  withNul += VTEXT("b");
  EXPECT_EQ(OpenFileForScan(withNul, false), kInvalidHandle);

  EXPECT_EQ(FileSizeOf(ToText(dir / "sized.vkq")), 1234u);
  EXPECT_EQ(FileSizeOf(ToText(dir / "empty.vqk")), 0u);
  EXPECT_EQ(FileSizeOf(ToText(dir / "missing.vlk")), 0u);
  EXPECT_EQ(FileSizeOf(ToText(dir.path())), 0u);
  EXPECT_TRUE(IsDirectory(ToText(dir / "folder.vlk")));
  EXPECT_FALSE(IsDirectory(ToText(dir / "sized.vkq")));
  EXPECT_FALSE(IsDirectory(ToText(dir / "missing")));

  // Without a handle every operation fails (and destruction closes nothing).
  FileStream none(kInvalidHandle);
  uint8_t buffer[4] = {};
  EXPECT_EQ(none.Read(buffer, 4), 0u);
  EXPECT_EQ(none.Write(buffer, 4), 0u);
  EXPECT_EQ(none.Seek(0, kFromStart), kSeekFailed);
  EXPECT_EQ(none.Tell(), kSeekFailed);
  EXPECT_EQ(none.Truncate(0), 0);
}

TEST(FileStream, ReadOnlyHandleRefusesWrites) {
  ScratchDir dir;
  const Bytes content = test::FrameData(32);
  WriteBytes(dir / "read-only.vlk", content);
  FileStream stream(OpenFileForScan(ToText(dir / "read-only.vlk"), false));
  ASSERT_NE(stream.handle(), kInvalidHandle);
  const uint8_t patch[4] = {9, 9, 9, 9};
  EXPECT_EQ(stream.Write(patch, 4), 0u);
  EXPECT_EQ(stream.Tell(), 0u);
  uint8_t buffer[32];
  EXPECT_EQ(stream.Read(buffer, 32), 32u);
  EXPECT_EQ(ReadBytes(dir / "read-only.vlk"), content);
}

#ifndef _WIN32
TEST(FileStream, DescriptorIsPrivateBlockingAndClosedWithTheStream) {
  ScratchDir dir;
  WriteBytes(dir / "closed.vlk", Bytes{1, 2, 3});
  const NativeHandle fd = OpenFileForScan(ToText(dir / "closed.vlk"), true);
  ASSERT_NE(fd, kInvalidHandle);
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);  // not inherited by child processes
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);  // opened without blocking, then blocking again
  { FileStream stream(fd); }
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
}

// A call that hangs fails the test instead of stopping it: it runs in a
// child process whose exit code is the call's answer.
enum class ChildOutcome { kFalse, kTrue, kHung };

template <typename Call>
ChildOutcome RunInChild(Call call) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(call() ? 1 : 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
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
  ASSERT_EQ(::mkfifo((dir / "pipe.vlk").c_str(), 0600), 0);
  const Text path = ToText(dir / "pipe.vlk");
  for (bool forWriting : {false, true}) {
    EXPECT_EQ(RunInChild([&] { return OpenFileForScan(path, forWriting) != kInvalidHandle; }),
              ChildOutcome::kFalse)
        << "forWriting=" << forWriting;
  }
  EXPECT_EQ(RunInChild([&] { return FileSizeOf(path) == 0; }), ChildOutcome::kTrue);
  EXPECT_FALSE(IsDirectory(path));
}
#endif

// Sparse files past 2 GiB and 4 GiB: positions stay 32-bit, what does not
// fit fails instead of wrapping, and the header reader takes the low 32
// bits of the length as signed (-1 when the seek to the end fails).
TEST(LargeFile, PositionsStay32Bit) {
  ScratchDir dir;
  const auto path = dir / "large.vlk";
  WriteBytes(path, test::Sv7Header{.frameCount = 1000}.Build());
  std::error_code error;
  std::filesystem::resize_file(path, 0x80000010u, error);
  if (error) GTEST_SKIP() << "no sparse file of 2 GiB: " << error.message();
  auto stream = std::make_unique<FileStream>(OpenFileForScan(ToText(path), false));
  StreamInfo info{};
  ASSERT_EQ(ReadStreamHeader(info, *stream), 0);
  EXPECT_EQ(info.fileLength, static_cast<int32_t>(0x80000010u));
  EXPECT_LT(info.averageBitrate, 0.0);  // from the signed 32-bit length
  EXPECT_EQ(FileSizeOf(ToText(path)), 0x80000010u);
  EXPECT_EQ(stream->Seek(INT32_MAX, kFromStart), 0x7FFFFFFFu);  // beyond it only relatively
  EXPECT_EQ(stream->Seek(16, kFromCurrent), 0x8000000Fu);
  uint8_t buffer[4];
  EXPECT_EQ(stream->Read(buffer, 4), 1u);
  EXPECT_EQ(stream->Tell(), 0x80000010u);

  std::filesystem::resize_file(path, 0x100000010u, error);  // 4 GiB + 16
  if (error) GTEST_SKIP() << "no sparse file of 4 GiB: " << error.message();
  stream = std::make_unique<FileStream>(OpenFileForScan(ToText(path), false));
  info = StreamInfo{};
  ASSERT_EQ(ReadStreamHeader(info, *stream), 0);
  EXPECT_EQ(info.fileLength, -1);
  EXPECT_EQ(info.frameCount, 1000u);
  EXPECT_EQ(FileSizeOf(ToText(path)), 0x10u);  // the low 32 bits
  // Exactly 4 GiB, beyond it, and 0xFFFFFFFF itself (which could not be
  // told from a failure) fail and keep the position.
  ASSERT_EQ(stream->Seek(100, kFromStart), 100u);
  for (int32_t offset : {0, -16, -17}) {
    EXPECT_EQ(stream->Seek(offset, kFromEnd), kSeekFailed) << offset;
    EXPECT_EQ(stream->Tell(), 100u) << offset;
  }
  EXPECT_EQ(stream->Seek(-18, kFromEnd), 0xFFFFFFFEu);
  EXPECT_EQ(stream->Seek(1, kFromCurrent), kSeekFailed);
  EXPECT_EQ(stream->Tell(), 0xFFFFFFFEu);
}

TEST(MemoryStream, PositionsStayBelowTheFailureValue) {
  MemoryStream stream(Bytes(8));
  ASSERT_EQ(stream.Seek(INT32_MAX, kFromStart), 0x7FFFFFFFu);
  EXPECT_EQ(stream.Seek(INT32_MAX, kFromCurrent), 0xFFFFFFFEu);
  EXPECT_EQ(stream.Seek(1, kFromCurrent), kSeekFailed);
  // A write there would end beyond 32 bits: nothing moves, nothing grows.
  const uint8_t bytes[2] = {1, 2};
  EXPECT_EQ(stream.Write(bytes, 2), 0u);
  EXPECT_EQ(stream.bytes().size(), 8u);
}

}  // namespace
}  // namespace velkscan
