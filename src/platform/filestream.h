// The byte stream over an operating-system file, and the few file calls the
// scan job needs (open for the scan, size, directory test).
//
// posix/filestream.cpp implements it over a descriptor, win32/filestream.cpp
// over a HANDLE. The core (stream/, decoder/) sees only ByteStream. Both keep the
// raw-result contract of ByteStream: transfer counts as results (a failed
// call moved 0 bytes), 32-bit positions, kSeekFailed with the position left
// where it was, origins 0/1/2 as the Windows move methods.
#pragma once

#include <cstdint>

#include "platform/text.h"
#include "stream/bytestream.h"

namespace velkscan {

#ifdef _WIN32
using NativeHandle = void*;  // HANDLE
// INVALID_HANDLE_VALUE, without pulling <windows.h> into every includer.
inline NativeHandle const kInvalidHandle = reinterpret_cast<NativeHandle>(static_cast<intptr_t>(-1));
#else
using NativeHandle = int;  // file descriptor
inline constexpr NativeHandle kInvalidHandle = -1;
#endif

class FileStream final : public ByteStream {
 public:
  // Takes ownership of an open handle (kInvalidHandle: no file; every
  // operation then fails and nothing is closed).
  explicit FileStream(NativeHandle handle) : handle_(handle) {}
  ~FileStream() override;

  uint32_t Read(void* buffer, int32_t count) override;
  uint32_t Write(const void* buffer, int32_t count) override;
  uint32_t Seek(int32_t offset, int origin) override;
  uint32_t Tell() override;
  bool ReadError() const override { return readError_; }

  NativeHandle handle() const { return handle_; }

 private:
  NativeHandle handle_;
  bool readError_ = false;
#ifdef _WIN32
  // ReadFile/WriteFile store the count moved by the latest transfer here.
  unsigned long lastTransferCount_ = 0;
#endif
};

// Opens an existing file for reading, and for writing too when asked, while
// others may still read it. Never creates a file. Only plain files are
// accepted (a directory, FIFO or device fails), so a scan cannot block on a
// pipe. kInvalidHandle on failure.
NativeHandle OpenFileForScan(const Text& path, bool forWriting);

// The low 32 bits of the file's size; 0 when it cannot be opened for reading.
uint32_t FileSizeOf(const Text& path);

// True when the path names an existing directory.
bool IsDirectory(const Text& path);

// What a path names, links followed.
enum class PathKind {
  kFile,  // anything that is not a directory
  kDirectory,
  kMissing,  // nothing (also a link that leads nowhere)
  kUnknown,  // the system would not say (no permission to look, an I/O error)
};
PathKind KindOfPath(const Text& path);

// Which file a handle or a path leads to, and its size: a repair writes only
// to the very file it checked, and only while the path still names it.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t file = 0;
  uint64_t size = 0;
  bool operator==(const FileIdentity&) const = default;
};
// False when the system cannot tell.
bool IdentityOfHandle(NativeHandle handle, FileIdentity& identity);
bool IdentityOfPath(const Text& path, FileIdentity& identity);

}  // namespace velkscan
