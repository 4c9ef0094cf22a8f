// A byte stream over bytes in memory, with the same raw results as a file:
// 32-bit positions, kSeekFailed (position unchanged) for a target below 0 or
// beyond what 32 bits can tell from a failure, Read returns the bytes moved
// (0 at or past the end), Write overwrites and extends (a gap left by seeking
// past the end reads as zeros, as in a file). Tests, fuzzers and benchmarks
// use it; no product code does.
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

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  std::vector<uint8_t>& bytes() { return bytes_; }

  uint32_t Read(void* buffer, int32_t count) override {
    if (count <= 0 || position_ >= bytes_.size()) return 0;
    const size_t n = std::min<size_t>(static_cast<size_t>(count), bytes_.size() - position_);
    std::memcpy(buffer, bytes_.data() + position_, n);
    position_ += n;
    return static_cast<uint32_t>(n);
  }

  uint32_t Write(const void* buffer, int32_t count) override {
    if (count <= 0) return 0;
    const uint64_t end = static_cast<uint64_t>(position_) + static_cast<uint64_t>(count);
    if (end > kLargestPosition) return 0;
    if (end > bytes_.size()) bytes_.resize(static_cast<size_t>(end));
    std::memcpy(bytes_.data() + position_, buffer, static_cast<size_t>(count));
    position_ = static_cast<size_t>(end);
    return static_cast<uint32_t>(count);
  }

  uint32_t Seek(int32_t offset, int origin) override {
    int64_t base;
    switch (origin) {
      case kFromStart:
        base = 0;
        break;
      case kFromCurrent:
        base = static_cast<int64_t>(position_);
        break;
      case kFromEnd:
        base = static_cast<int64_t>(bytes_.size());
        break;
      default:
        return kSeekFailed;
    }
    const int64_t target = base + offset;
    if (target < 0 || static_cast<uint64_t>(target) > kLargestPosition) return kSeekFailed;
    position_ = static_cast<size_t>(target);
    return static_cast<uint32_t>(target);
  }

  uint32_t Tell() override { return static_cast<uint32_t>(position_); }

  // Sets the length and leaves the position there, as a file does.
  int Truncate(int32_t length) override {
    if (length < 0) return 0;
    bytes_.resize(static_cast<size_t>(length));
    position_ = static_cast<size_t>(length);
    return 1;
  }

 private:
  // 0xFFFFFFFF itself is Seek's failure value, so no position may be it.
  static constexpr uint64_t kLargestPosition = kSeekFailed - 1;

  std::vector<uint8_t> bytes_;
  size_t position_ = 0;
};

}  // namespace velkscan
