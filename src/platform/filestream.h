// The byte stream over an operating-system file, and the few file calls the
// scan job needs (open for the scan, size, directory test, stamps).
//
// posix/filestream.cpp implements it over a descriptor, win32/filestream.cpp
// over a HANDLE. The core (stream/, decoder/) sees only ByteStream. Both keep the
// raw-result contract of ByteStream: transfer counts as results (a failed
// call moved 0 bytes), 32-bit positions, kSeekFailed with the position left
// where it was, origins 0/1/2 as the Windows move methods.
#pragma once

#include <cstdint>
#include <optional>

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
  // And the size the open found (OpenFileForScan's stamp): the stream ends
  // there, as the file was when opened, so a read that reaches it needs no
  // call more to hear of the end, nor a seek from the end one to learn it.
  // The Windows stream asks the system each time.
  FileStream(NativeHandle handle, uint64_t sizeWhenOpened) : handle_(handle) {
#ifdef _WIN32
    (void)sizeWhenOpened;
#else
    end_ = static_cast<int64_t>(sizeWhenOpened);
#endif
  }
  ~FileStream() override;

  uint32_t Read(void* buffer, int32_t count) override;
  uint32_t Write(const void* buffer, int32_t count) override;
  uint32_t Seek(int32_t offset, int origin) override;
  uint32_t Tell() override;
  bool ReadError() const override {
    return readError_;
  }

  NativeHandle handle() const {
    return handle_;
  }

 private:
  NativeHandle handle_;
  bool readError_ = false;
#ifdef _WIN32
  // ReadFile/WriteFile store the count moved by the latest transfer here.
  unsigned long lastTransferCount_ = 0;
#else
  // The stream's own position (positioned transfers: a seek costs no call),
  // and its end when known (-1: ask the system).
  int64_t position_ = 0;
  int64_t end_ = -1;
#endif
};

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

// What tells, without reading a byte, that a file is still as it was
// checked: the same file (device, file number, size) and the same
// modification and change times (nanoseconds since 1970).
struct FileStamp {
  FileIdentity file;
  int64_t modifiedNs = 0;
  int64_t changedNs = 0;
  bool operator==(const FileStamp&) const = default;
};
// False when it cannot be had (always on Windows, where nothing keeps it).
bool ReadFileStamp(NativeHandle handle, FileStamp& stamp);
// Of the file a path names, following links.
bool ReadPathStamp(const Text& path, FileStamp& stamp);
#ifndef _WIN32
// Of the file a name in an open folder (its descriptor) names, following
// links: one step of a path to look up, not all of them.
bool ReadStampAt(int folder, const char* name, FileStamp& stamp);
#endif

// Opens an existing file for reading, and for writing too when asked, while
// others may still read it. Never creates a file. Only plain files are
// accepted (a directory, FIFO or device fails), so a scan cannot block on a
// pipe. kInvalidHandle on failure. With `opened`: the file's stamp as the
// open found it, before a byte was read (none on Windows, which keeps none).
NativeHandle OpenFileForScan(const Text& path, bool forWriting, std::optional<FileStamp>* opened = nullptr);

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

}  // namespace velkscan
