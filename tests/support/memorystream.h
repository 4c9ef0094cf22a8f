// A byte stream over memory with a file's raw results (32-bit positions, kSeekFailed for a
// target below 0, bytes moved), for tests, fuzzers and benchmarks. It fails as a device
// does: the n-th seek from the start, or every read from the n-th on (then ReadError).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "stream/bytestream.h"

namespace velkscan {

class MemoryStream final : public ByteStream {
 public:
  MemoryStream() = default;
  explicit MemoryStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  MemoryStream(const uint8_t* data, size_t size) : bytes_(data, data + size) {}

  int failingSeek = 0, failingRead = 0;  // 0: none fails

  uint32_t Read(void* buffer, int32_t count) override {
    readFailed_ = readFailed_ || (failingRead > 0 && ++reads_ >= failingRead);
    if (readFailed_ || count <= 0 || position_ >= bytes_.size()) return 0;
    const size_t n = std::min<size_t>(static_cast<size_t>(count), bytes_.size() - position_);
    std::memcpy(buffer, bytes_.data() + position_, n);
    position_ += n;
    return static_cast<uint32_t>(n);
  }
  uint32_t Write(const void* buffer, int32_t count) override {
    if (count <= 0) return 0;
    if (position_ + static_cast<size_t>(count) > bytes_.size())
      bytes_.resize(position_ + static_cast<size_t>(count));
    std::memcpy(bytes_.data() + position_, buffer, static_cast<size_t>(count));
    position_ += static_cast<size_t>(count);
    return static_cast<uint32_t>(count);
  }
  uint32_t Seek(int32_t offset, int origin) override {
    const int64_t base = origin == kFromCurrent ? static_cast<int64_t>(position_)
                         : origin == kFromEnd   ? static_cast<int64_t>(bytes_.size())
                                                : 0;
    if (origin < kFromStart || origin > kFromEnd || base + offset < 0) return kSeekFailed;
    if (origin == kFromStart && failingSeek > 0 && ++seeks_ == failingSeek) return kSeekFailed;
    position_ = static_cast<size_t>(base + offset);
    return static_cast<uint32_t>(position_);
  }
  uint32_t Tell() override { return static_cast<uint32_t>(position_); }
  bool ReadError() const override { return readFailed_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t position_ = 0;
  int seeks_ = 0, reads_ = 0;
  bool readFailed_ = false;
};

}  // namespace velkscan
