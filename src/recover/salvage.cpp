#include "recover/salvage.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "decoder/framedecoder.h"
#include "decoder/wordorder.h"
#include "platform/newfile.h"
#include "scan/filecheck.h"

namespace velkscan {

namespace {

constexpr size_t kChunkWords = 1 << 18;  // 1 MiB at a time, both ways

// The original's words from the header position on, read forward in chunks.
class WordSource {
 public:
  WordSource(ByteStream& stream, int64_t base) : stream_(stream), base_(base), words_(kChunkWords) {}

  // n (1..32) bits from stream bit `bit` (counted from the header
  // position), right-aligned.
  // Set when a word lay past the positions the stream can reach.
  bool outOfReach = false;

  bool Bits(uint64_t bit, uint32_t n, uint32_t& value) {
    uint32_t hi, lo = 0;
    if (!Word(bit / 32, hi)) return false;
    const uint32_t off = bit % 32;
    if (off + n > 32 && !Word(bit / 32 + 1, lo)) return false;
    const uint64_t pair = uint64_t{hi} << 32 | lo;
    value = static_cast<uint32_t>((pair << off) >> (64 - n));
    return true;
  }

 private:
  bool Word(uint64_t w, uint32_t& value) {
    if (w < first_ || w >= first_ + count_) {
      const uint64_t offset = static_cast<uint64_t>(base_) + w * 4;
      count_ = 0;
      if (offset > kLastReachableByte) outOfReach = true;
      if (!SeekToByte(stream_, offset)) return false;
      count_ = stream_.Read(words_.data(), static_cast<int32_t>(kChunkWords * 4)) / 4;
      first_ = w;
      if (count_ == 0) return false;
    }
    value = FromLittleEndian(words_[w - first_]);
    return true;
  }

  ByteStream& stream_;
  int64_t base_;
  std::vector<uint32_t> words_;
  uint64_t first_ = 0;
  uint64_t count_ = 0;
};

// Bits packed into little-endian words, from each word's top bit down,
// written out in chunks.
class WordSink {
 public:
  explicit WordSink(ByteStream& out) : out_(out) { words_.reserve(kChunkWords); }

  void Put(uint32_t value, uint32_t n) {  // n = 1..32
    acc_ = (acc_ << n) | (value & (n == 32 ? ~0u : (1u << n) - 1));
    accBits_ += n;
    if (accBits_ >= 32) {
      accBits_ -= 32;
      Push(static_cast<uint32_t>(acc_ >> accBits_));
    }
  }
  // Zero bits to the end of the word, and whole zero words up to minWords.
  bool Finish(uint64_t minWords) {
    if (accBits_ > 0) Put(0, 32 - accBits_);
    while (written_ + words_.size() < minWords) Push(0);
    return Flush();
  }
  bool ok() const { return ok_; }
  std::string error;  // the system's reason for the failed write

 private:
  void Push(uint32_t w) {
    words_.push_back(FromLittleEndian(w));
    if (words_.size() == kChunkWords) Flush();
  }
  bool Flush() {
    const auto bytes = static_cast<int32_t>(words_.size() * 4);
    if (ok_ && bytes > 0 && out_.Write(words_.data(), bytes) != static_cast<uint32_t>(bytes)) {
      ok_ = false;
      error = LastWriteError();
    }
    written_ += words_.size();
    words_.clear();
    return ok_;
  }

  ByteStream& out_;
  std::vector<uint32_t> words_;
  uint64_t acc_ = 0;
  uint32_t accBits_ = 0;
  uint64_t written_ = 0;
  bool ok_ = true;
};

enum class Copy { kOk, kReadFailed, kOutOfReach, kWriteFailed };

Copy CopyBytes(ByteStream& from, ByteStream& to, int32_t count, std::string& error) {
  if (count == 0) return Copy::kOk;
  if (from.Seek(0, kFromStart) != 0) return Copy::kReadFailed;
  std::vector<uint8_t> buffer(1 << 16);
  while (count > 0) {
    const int32_t n = std::min<int32_t>(count, static_cast<int32_t>(buffer.size()));
    if (from.Read(buffer.data(), n) != static_cast<uint32_t>(n)) return Copy::kReadFailed;
    if (to.Write(buffer.data(), n) != static_cast<uint32_t>(n)) {
      error = LastWriteError();
      return Copy::kWriteFailed;
    }
    count -= n;
  }
  return Copy::kOk;
}

// Writes tag, header and kept frames; the count field says `kept`.
Copy WriteCopy(ByteStream& original, const StreamInfo& info, const DamageMap& map, uint32_t stored,
               ByteStream& out, std::string& error) {
  if (const Copy tag = CopyBytes(original, out, info.headerPos, error); tag != Copy::kOk) return tag;
  const FirstFrame first = FirstFrameOf(static_cast<int32_t>(info.streamVersion));
  const uint64_t frameBase = 8 * static_cast<uint64_t>(first.byteOffset);  // walk bit 0, from the header
  // A run's bits count in its own byte alignment; the copy packs them all
  // into its one word grid.
  std::unique_ptr<WordSource> sources[4];
  WordSink sink(out);
  auto copy = [&](uint64_t begin, uint64_t end, uint32_t align = 0) {
    std::unique_ptr<WordSource>& source = sources[align & 3];
    if (!source) source = std::make_unique<WordSource>(original, int64_t{info.headerPos} + (align & 3));
    for (uint64_t bit = begin; bit < end && sink.ok();) {
      const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(32, end - bit));
      uint32_t value;
      if (!source->Bits(bit, n, value)) return false;
      sink.Put(value, n);
      bit += n;
    }
    return true;
  };
  // The header as it was up to the first frame, but for the new count.
  const uint64_t headerBits = frameBase + first.bitPos;
  const StreamVersion& version = *FindStreamVersion(info.streamVersion);
  const uint32_t countAt = CountFieldFirstBit(version), countBits = CountFieldBits(version);
  bool read = copy(0, countAt);
  sink.Put(stored, countBits);
  read = read && copy(countAt + countBits, headerBits);
  for (const GoodRun& run : map.runs) {
    if (read && run.frames > 0) read = copy(frameBase + run.beginBit, frameBase + run.endBit, run.align);
  }
  // The header reader takes a whole 32-byte block.
  if (read) sink.Finish(kHeaderBlockSize / 4);
  if (!sink.ok()) {
    error = sink.error;
    return Copy::kWriteFailed;
  }
  if (!read)
    return std::any_of(std::begin(sources), std::end(sources),
                       [](const std::unique_ptr<WordSource>& w) { return w && w->outOfReach; })
               ? Copy::kOutOfReach
               : Copy::kReadFailed;
  return Copy::kOk;
}

// Checks the new file (read through its folder) as a scan would: whole,
// with exactly `kept` frames declared and passing.
bool ChecksWhole(const Folder& folder, const Text& name, uint64_t kept) {
  FileCheck check;
  FileOutcome outcome;
  if (!check.OpenReadOnly(folder.OpenForReading(name), name, outcome)) return false;
  while (check.CheckFrame(outcome) == FileCheck::Step::kPassed) {
  }
  return outcome.status == FileStatus::kOk && outcome.goodFrames == kept && outcome.declaredFrames == kept;
}

}  // namespace

namespace {

// NAME.PID[-N].velkscan-partial, next to where the copy goes.
Text PartialNameFor(const Text& name, uint32_t attempt) {
  Text tail(1, '.');
  tail += std::to_string(::getpid());
  if (attempt > 0) {
    tail += '-';
    tail += std::to_string(attempt);
  }
  tail += kPartialSuffix;
  // A name may hold 255 bytes: a long one gives up its end.
  Text partial = name.substr(0, std::min<size_t>(name.size(), 255 - tail.size()));
  partial += tail;
  return partial;
}

}  // namespace

bool IsPartialName(TextView name) {
  constexpr TextView suffix = kPartialSuffix;
  return name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
}

SalvageResult WriteSalvage(ByteStream& original, const StreamInfo& info, const DamageMap& map,
                           const Folder& folder, const Text& name, uint32_t permissions) {
  SalvageResult result;
  result.keptFrames = map.KeptFrames();
  using Status = SalvageResult::Status;
  const StreamVersion* version = WritableHeader(info);
  if (version == nullptr) {
    result.status = Status::kNotRewritten;
    return result;
  }
  if (map.end != DamageMap::End::kComplete) {
    result.status = Status::kMapIncomplete;
    return result;
  }
  if (result.keptFrames == 0) {
    result.status = info.frameCount == 0 ? Status::kNoneDeclared : Status::kNothingKept;
    return result;
  }
  const uint64_t stored = StoredCount(*version, result.keptFrames);
  if (stored > CountFieldMax(*version)) {
    result.status = Status::kCountTooLarge;
    return result;
  }

  // Written under a name of its own in the same folder: a kill at any moment
  // leaves nothing under the final name, only a file whose name says what it is.
  NativeHandle handle = kInvalidHandle;
  for (uint32_t attempt = 0; attempt < 100 && handle == kInvalidHandle; ++attempt) {
    result.partialName = PartialNameFor(name, attempt);
    handle = folder.CreateNewFile(result.partialName, result.error, permissions);
    if (handle == kInvalidHandle && result.error != std::strerror(EEXIST)) break;
  }
  if (handle == kInvalidHandle) {
    result.partialName.clear();
    result.status = Status::kWriteFailed;
    return result;
  }
  Copy copied;
  {
    FileStream out(handle);
    copied = WriteCopy(original, info, map, static_cast<uint32_t>(stored), out, result.error);
    if (copied == Copy::kOk && !SyncFile(handle, result.error)) copied = Copy::kWriteFailed;
  }
  if (copied == Copy::kOk && !ChecksWhole(folder, result.partialName, result.keptFrames)) {
    result.status = Status::kCheckFailed;
  } else if (copied == Copy::kOk && folder.RenameNoReplace(result.partialName, name, result.error)) {
    result.partialName.clear();
    result.status = Status::kWritten;
    return result;
  } else {
    result.status = copied == Copy::kReadFailed   ? Status::kReadFailed
                    : copied == Copy::kOutOfReach ? Status::kOutOfReach
                                                  : Status::kWriteFailed;
  }
  // Removed by the name it was made under, in the folder it was made in.
  result.partialLeft = !folder.Remove(result.partialName, result.removeError);
  return result;
}

SalvageResult WriteSalvage(ByteStream& original, const StreamInfo& info, const DamageMap& map,
                           const Text& newPath, uint32_t permissions) {
  const size_t slash = newPath.rfind('/');
  std::string error;
  const Folder folder = Folder::OpenPath(slash == Text::npos ? Text(".")
                                         : slash == 0        ? Text("/")
                                                             : newPath.substr(0, slash),
                                         error);
  if (!folder.open()) {
    SalvageResult result;
    result.status = SalvageResult::Status::kWriteFailed;
    result.error = error;
    return result;
  }
  return WriteSalvage(original, info, map, folder, slash == Text::npos ? newPath : newPath.substr(slash + 1),
                      permissions);
}

}  // namespace velkscan
