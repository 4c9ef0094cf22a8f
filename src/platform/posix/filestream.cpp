// FileStream and the file calls over POSIX descriptors.
//
// The stream keeps its own position and moves bytes with pread()/pwrite(),
// so a seek costs no system call (the header reader seeks before each of its
// reads). A transfer loops over partial results and EINTR so that it returns
// what the OS could move in total (the count asked for, or less only at end
// of file or on an error); a transfer that fails at once moves 0 bytes.
#include "platform/filestream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace velkscan {

static_assert(sizeof(off_t) >= 8, "32-bit positions near 4 GiB need a 64-bit off_t");

namespace {

// Seek never lands on 0xFFFFFFFF: it could not be told from kSeekFailed.
constexpr int64_t kLargestPosition = static_cast<int64_t>(kSeekFailed) - 1;

bool HasEmbeddedNul(const Text& path) {
  return path.find(Char(0)) != Text::npos;
}

FileIdentity IdentityOf(const struct stat& st) {
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                      static_cast<uint64_t>(st.st_size)};
}

FileStamp StampOf(const struct stat& st) {
  return FileStamp{IdentityOf(st), int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec,
                   int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec};
}

}  // namespace

FileStream::~FileStream() {
  // No retry on EINTR: on Linux the descriptor is released whatever close says.
  if (handle_ != kInvalidHandle) ::close(handle_);
}

uint32_t FileStream::Read(void* buffer, int32_t count) {
  if (count <= 0 || handle_ == kInvalidHandle) return 0;
  auto* bytes = static_cast<unsigned char*>(buffer);
  const size_t wanted = static_cast<size_t>(count);
  size_t done = 0;
  while (done < wanted) {
    const ssize_t n = ::pread(handle_, bytes + done, wanted - done, static_cast<off_t>(position_ + done));
    if (n > 0) {
      done += static_cast<size_t>(n);
      // Short of the count at the end the file had when opened: that is
      // the end, with no call more to hear it.
      if (end_ >= 0 && position_ + static_cast<int64_t>(done) >= end_) break;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      // End of file (0), or an error: report what moved, and remember an
      // error so that it is not taken for the end of the file.
      if (n < 0) readError_ = true;
      break;
    }
  }
  position_ += static_cast<int64_t>(done);
  return static_cast<uint32_t>(done);
}

uint32_t FileStream::Write(const void* buffer, int32_t count) {
  if (count <= 0 || handle_ == kInvalidHandle) return 0;
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  const size_t wanted = static_cast<size_t>(count);
  size_t done = 0;
  while (done < wanted) {
    const ssize_t n = ::pwrite(handle_, bytes + done, wanted - done, static_cast<off_t>(position_ + done));
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  position_ += static_cast<int64_t>(done);
  if (end_ >= 0 && position_ > end_) end_ = position_;
  return static_cast<uint32_t>(done);
}

uint32_t FileStream::Seek(int32_t offset, int origin) {
  if (handle_ == kInvalidHandle) return kSeekFailed;
  // A target outside 0..kLargestPosition leaves the position untouched, and
  // origins other than 0/1/2 (SEEK_DATA, SEEK_HOLE) are refused.
  int64_t base = 0;
  switch (origin) {
    case kFromStart:
      break;
    case kFromCurrent:
      base = position_;
      break;
    case kFromEnd: {
      if (end_ >= 0) {
        base = end_;
        break;
      }
      struct stat st;
      if (::fstat(handle_, &st) != 0) return kSeekFailed;
      base = st.st_size;
      break;
    }
    default:
      return kSeekFailed;
  }
  const int64_t target = base + offset;
  if (target < 0 || target > kLargestPosition) return kSeekFailed;
  position_ = target;
  return static_cast<uint32_t>(target);
}

uint32_t FileStream::Tell() {
  if (handle_ == kInvalidHandle || position_ > static_cast<int64_t>(kSeekFailed)) return kSeekFailed;
  return static_cast<uint32_t>(position_);
}

NativeHandle OpenFileForScan(const Text& path, bool forWriting, std::optional<FileStamp>* opened) {
  if (opened != nullptr) opened->reset();
  if (HasEmbeddedNul(path)) return kInvalidHandle;
  // O_NONBLOCK: opening a FIFO must not wait for a writer, nor a device for
  // its medium; both are refused below, by what the descriptor is (a path
  // looked at before the open could name something else by then).
  const int flags = (forWriting ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  int fd;
  do {
    fd = ::open(path.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return kInvalidHandle;

  struct stat st;
  // A plain file's reads then block as usual: of the status flags only
  // O_NONBLOCK was set, so setting none clears it without asking first.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, 0) == -1) {
    ::close(fd);
    return kInvalidHandle;
  }
  if (opened != nullptr) *opened = StampOf(st);
  return fd;
}

uint32_t FileSizeOf(const Text& path) {
  const NativeHandle fd = OpenFileForScan(path, false);
  if (fd == kInvalidHandle) return 0;
  struct stat st;
  const bool known = ::fstat(fd, &st) == 0;
  ::close(fd);
  return known ? static_cast<uint32_t>(static_cast<uint64_t>(st.st_size)) : 0;
}

bool IsDirectory(const Text& path) {
  if (HasEmbeddedNul(path)) return false;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

PathKind KindOfPath(const Text& path) {
  if (HasEmbeddedNul(path)) return PathKind::kMissing;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? PathKind::kDirectory : PathKind::kFile;
  // A link to nothing, or a folder on the way that is not one.
  if (errno == ENOENT || errno == ENOTDIR) return PathKind::kMissing;
  return PathKind::kUnknown;
}

bool IdentityOfHandle(NativeHandle handle, FileIdentity& identity) {
  struct stat st;
  if (handle == kInvalidHandle || ::fstat(handle, &st) != 0) return false;
  identity = IdentityOf(st);
  return true;
}

bool IdentityOfPath(const Text& path, FileIdentity& identity) {
  struct stat st;
  if (HasEmbeddedNul(path) || ::stat(path.c_str(), &st) != 0) return false;
  identity = IdentityOf(st);
  return true;
}

bool ReadFileStamp(NativeHandle handle, FileStamp& stamp) {
  struct stat st;
  if (handle == kInvalidHandle || ::fstat(handle, &st) != 0) return false;
  stamp = StampOf(st);
  return true;
}

bool ReadStampAt(int folder, const char* name, FileStamp& stamp) {
  struct stat st;
  if (::fstatat(folder, name, &st, 0) != 0) return false;
  stamp = StampOf(st);
  return true;
}

bool ReadPathStamp(const Text& path, FileStamp& stamp) {
  struct stat st;
  // A name cut short at a zero byte would be another file.
  if (HasEmbeddedNul(path) || ::stat(path.c_str(), &st) != 0) return false;
  stamp = StampOf(st);
  return true;
}

}  // namespace velkscan
