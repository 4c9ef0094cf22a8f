// The seekable byte stream through which every byte of a scanned file moves.
//
// Results are raw: transfer counts as returned, positions as returned, and
// all 32 bits set for a positioning that failed. Nothing throws and nothing
// retries; callers compare what they got with what they asked for.
#pragma once

#include <cstdint>

namespace velkscan {

// Origins of Seek, numbered as the Windows move methods.
enum SeekOrigin : int { kFromStart = 0, kFromCurrent = 1, kFromEnd = 2 };

// Seek's result when the position could not be set (or does not fit 32 bits).
inline constexpr uint32_t kSeekFailed = 0xFFFFFFFFu;

class ByteStream {
 public:
  virtual ~ByteStream() = default;

  // Bytes transferred; 0 at end of file or on failure. count < 0 moves nothing.
  virtual uint32_t Read(void* buffer, int32_t count) = 0;
  virtual uint32_t Write(const void* buffer, int32_t count) = 0;
  // New absolute position, or kSeekFailed (the position is then unchanged).
  virtual uint32_t Seek(int32_t offset, int origin) = 0;
  virtual uint32_t Tell() = 0;
  // True once a Read has failed with an error, as opposed to ending at the
  // end of the data: a short count alone cannot tell the two apart. It stays
  // set. A stream that cannot fail never overrides it.
  virtual bool ReadError() const { return false; }

 protected:
  ByteStream() = default;
  ByteStream(const ByteStream&) = delete;
  ByteStream& operator=(const ByteStream&) = delete;
};

}  // namespace velkscan
