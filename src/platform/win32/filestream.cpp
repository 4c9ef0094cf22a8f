// FileStream and the file calls over Windows file handles.
//
// Transfers are the Windows calls with their results passed through: the
// count ReadFile/WriteFile stored (they zero it first, so a failure reports
// 0). Positions are 32-bit; Seek checks its target itself (see there).
// Names go to the wide operations in both builds (the narrow build's text
// converts exactly in that direction), so that a path of any length the list
// takes can be opened (widetext.h: LongPathForOpening).
#include "platform/filestream.h"

#include <cstdint>
#include <type_traits>

#include "platform/win32/widetext.h"
#include "platform/win32/winapi.h"

namespace velkscan {

static_assert(std::is_same_v<unsigned long, DWORD>, "lastTransferCount_ is handed to ReadFile as a DWORD");
static_assert(std::is_same_v<Char, TCHAR>, "Text must match the build's TCHAR");

namespace {

// Seek never lands on 0xFFFFFFFF: it could not be told from kSeekFailed.
constexpr int64_t kLargestPosition = static_cast<int64_t>(kSeekFailed) - 1;

bool HasEmbeddedNul(const Text& path) {
  return path.find(Char(0)) != Text::npos;
}

// The 64-bit position, or -1.
int64_t CurrentPosition(HANDLE handle) {
  LONG high = 0;
  SetLastError(NO_ERROR);
  const DWORD low = SetFilePointer(handle, 0, &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return -1;
  return (static_cast<int64_t>(high) << 32) | low;
}

}  // namespace

FileStream::~FileStream() {
  if (handle_ != kInvalidHandle) CloseHandle(handle_);
}

uint32_t FileStream::Read(void* buffer, int32_t count) {
  lastTransferCount_ = 0;
  if (count < 0 || handle_ == kInvalidHandle) return 0;
  // At the end of a file ReadFile succeeds with 0 bytes; FALSE is an error.
  if (!ReadFile(handle_, buffer, static_cast<DWORD>(count), &lastTransferCount_, nullptr)) readError_ = true;
  return lastTransferCount_;
}

uint32_t FileStream::Write(const void* buffer, int32_t count) {
  lastTransferCount_ = 0;
  if (count < 0 || handle_ == kInvalidHandle) return 0;
  WriteFile(handle_, buffer, static_cast<DWORD>(count), &lastTransferCount_, nullptr);
  return lastTransferCount_;
}

uint32_t FileStream::Seek(int32_t offset, int origin) {
  if (handle_ == kInvalidHandle) return kSeekFailed;
  // The target is worked out in 64 bits and set from the start, so that a
  // target below 0 or beyond 32 bits fails with the position untouched.
  // SetFilePointer without a high-order part is documented to fail there,
  // but not every implementation does (some return the low 32 bits of a
  // position past 4 GiB). 0xFFFFFFFF itself is refused as well: it could not
  // be told from a failure.
  int64_t base = 0;
  switch (origin) {
    case FILE_BEGIN:
      break;
    case FILE_CURRENT:
      base = CurrentPosition(handle_);
      if (base < 0) return kSeekFailed;
      break;
    case FILE_END: {
      LARGE_INTEGER size;
      if (!GetFileSizeEx(handle_, &size)) return kSeekFailed;
      base = size.QuadPart;
      break;
    }
    default:
      return kSeekFailed;
  }
  const int64_t target = base + offset;
  if (target < 0 || target > kLargestPosition) return kSeekFailed;
  LONG high = 0;  // targets of 2 GiB and more need the (zero) high part
  SetLastError(NO_ERROR);
  const DWORD position =
      SetFilePointer(handle_, static_cast<LONG>(static_cast<uint32_t>(target)), &high, FILE_BEGIN);
  if (position == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return kSeekFailed;
  return position;
}

uint32_t FileStream::Tell() {
  if (handle_ == kInvalidHandle) return kSeekFailed;
  const int64_t position = CurrentPosition(handle_);
  if (position < 0 || position > static_cast<int64_t>(kSeekFailed)) return kSeekFailed;
  return static_cast<uint32_t>(position);
}

NativeHandle OpenFileForScan(const Text& path, bool forWriting, std::optional<FileStamp>* opened) {
  if (opened != nullptr) opened->reset();
  if (HasEmbeddedNul(path)) return kInvalidHandle;
  const DWORD access = GENERIC_READ | (forWriting ? GENERIC_WRITE : 0);
  HANDLE handle = CreateFileW(LongPathForOpening(TextToWide(path)).c_str(), access, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return kInvalidHandle;
  // Device names (CON, NUL, COM1 with any extension) and pipes open too;
  // only a file on a disk is scanned.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return kInvalidHandle;
  }
  return handle;
}

uint32_t FileSizeOf(const Text& path) {
  HANDLE handle = OpenFileForScan(path, false);
  if (handle == kInvalidHandle) return 0;
  SetLastError(NO_ERROR);
  const DWORD size = GetFileSize(handle, nullptr);
  const bool failed = size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR;
  CloseHandle(handle);
  return failed ? 0 : size;
}

bool IsDirectory(const Text& path) {
  if (HasEmbeddedNul(path)) return false;
  const DWORD attributes = GetFileAttributesW(LongPathForOpening(TextToWide(path)).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

PathKind KindOfPath(const Text& path) {
  if (HasEmbeddedNul(path)) return PathKind::kMissing;
  // As the file will be opened: also a path past the system's short limit.
  const DWORD attributes = GetFileAttributesW(LongPathForOpening(TextToWide(path)).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES)
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::kDirectory : PathKind::kFile;
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return PathKind::kMissing;
  // A name no file can have (in the narrow build, "?" where a character did
  // not convert): taken as a file, whose open fails and says so.
  if (error == ERROR_INVALID_NAME) return PathKind::kFile;
  return PathKind::kUnknown;
}

bool IdentityOfHandle(NativeHandle handle, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (handle == kInvalidHandle || !GetFileInformationByHandle(handle, &info)) return false;
  identity.device = info.dwVolumeSerialNumber;
  identity.file = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  identity.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return true;
}

bool IdentityOfPath(const Text& path, FileIdentity& identity) {
  if (HasEmbeddedNul(path)) return false;
  // No access asked for: this opens also a file another program holds.
  HANDLE handle = CreateFileW(LongPathForOpening(TextToWide(path)).c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool known = IdentityOfHandle(handle, identity);
  CloseHandle(handle);
  return known;
}

}  // namespace velkscan
