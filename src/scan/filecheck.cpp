#include "scan/filecheck.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "stream/headerblock.h"

namespace velkscan {

// Passes everything to the file and feeds the hash every byte read, once
// and in file order: bytes read again are not fed again, and bytes skipped
// by a seek forward (an ID3v2 tag) are read into the hash before the read
// that skipped them.
class FileCheck::HashingStream final : public ByteStream {
 public:
  HashingStream(FileStream& file, std::unique_ptr<ContentHasher> hasher)
      : file_(file), hasher_(std::move(hasher)) {}

  uint32_t Read(void* buffer, int32_t count) override {
    if (pos_ > hashed_) FillGap();
    const uint32_t n = file_.Read(buffer, count);
    const uint64_t end = pos_ + n;
    if (pos_ <= hashed_ && end > hashed_) {
      hasher_->Update(static_cast<const uint8_t*>(buffer) + (hashed_ - pos_), end - hashed_);
      hashed_ = end;
    }
    pos_ = end;
    return n;
  }
  uint32_t Write(const void* buffer, int32_t count) override { return file_.Write(buffer, count); }
  uint32_t Seek(int32_t offset, int origin) override {
    const uint32_t to = file_.Seek(offset, origin);
    if (to != kSeekFailed) pos_ = to;
    return to;
  }
  uint32_t Tell() override { return file_.Tell(); }
  bool ReadError() const override { return file_.ReadError(); }

  // Reads from the end of what was hashed to the end of the file. False
  // when a read failed or the place could not be reached.
  bool ReadToEnd(uint8_t (&digest)[16]) {
    if (pos_ != hashed_ && !MoveTo(hashed_)) return false;
    char buffer[1 << 16];
    while (!lost_ && Read(buffer, sizeof buffer) > 0) {
    }
    if (lost_ || file_.ReadError()) return false;
    hasher_->Digest(digest);
    return true;
  }

 private:
  bool MoveTo(uint64_t to) {
    if (to > 0x7FFFFFFF || file_.Seek(static_cast<int32_t>(to), kFromStart) != to) {
      lost_ = true;
      return false;
    }
    pos_ = to;
    return true;
  }
  void FillGap() {
    const uint64_t wanted = pos_;
    char buffer[1 << 12];
    if (!MoveTo(hashed_)) return;
    while (!lost_ && hashed_ < wanted) {
      const auto part = static_cast<int32_t>(std::min<uint64_t>(sizeof buffer, wanted - hashed_));
      if (Read(buffer, part) != static_cast<uint32_t>(part)) lost_ = true;
    }
    MoveTo(wanted);
  }

  FileStream& file_;
  std::unique_ptr<ContentHasher> hasher_;
  uint64_t pos_ = 0;     // where the file's next read starts
  uint64_t hashed_ = 0;  // bytes fed to the hash: all before this
  bool lost_ = false;    // a byte could not be fed in order: no hash
};

void FileCheck::FinishFile(FileOutcome& outcome) {
  uint8_t digest[16];
  if (hashing_ && hashing_->ReadToEnd(digest))
    std::copy(digest, digest + 16, outcome.contentHash.emplace().begin());
  hashing_.reset();
  outcome.stamp = opened_;
}

bool FileCheck::Open(const Text& path, const FileCheckOptions& options, FileOutcome& outcome) {
  Close();
  options_ = options;
  path_ = path;
  outcome.status = FileStatus::kOpenFailed;
  NativeHandle handle = OpenFileForScan(path, options.forWriting, &opened_);
  readOnly_ = handle == kInvalidHandle && options.forWriting && options.readOnlyFallback;
  if (readOnly_) handle = OpenFileForScan(path, false, &opened_);
  if (handle == kInvalidHandle) return false;
  if (readOnly_) options_.forWriting = false;
  return Begin(handle, options, outcome);
}

bool FileCheck::OpenReadOnly(NativeHandle handle, const Text& path, FileOutcome& outcome) {
  Close();
  options_ = FileCheckOptions{false, false};
  path_ = path;
  outcome.status = FileStatus::kOpenFailed;
  if (handle == kInvalidHandle) return false;
  FileStamp stamp;
  if (ReadFileStamp(handle, stamp)) opened_ = stamp;
  return Begin(handle, options_, outcome);
}

bool FileCheck::Begin(NativeHandle handle, const FileCheckOptions& options, FileOutcome& outcome) {
  // Before the first read, which may move the access time.
  timesSaved_ = options_.forWriting && options.keepTimes && SaveFileTimes(handle, times_);
  stream.reset(opened_ ? new (std::nothrow) FileStream(handle, opened_->file.size)
                       : new (std::nothrow) FileStream(handle));
  info.reset(new (std::nothrow) StreamInfo{});
  if (!stream || !info) {
    // Out of memory: like a file that cannot be set up.
    if (!stream) {
      FileStream closer(handle);
    }
    Close();
    return false;
  }

  if (options.makeHasher != nullptr && *options.makeHasher) {
    if (std::unique_ptr<ContentHasher> hasher = (*options.makeHasher)())
      hashing_ = std::make_unique<HashingStream>(*stream, std::move(hasher));
  }
  ByteStream& source = hashing_ ? static_cast<ByteStream&>(*hashing_) : *stream;
  HeaderResult result = ReadStreamHeader(*info, source);
  // A "VKQ" header read in full whose version no frame parser handles
  // (0x27 ... 0x67) is not a format this program knows.
  if (result == HeaderResult::kOk && info->fieldsRead && WritableHeader(*info) == nullptr) {
    result = HeaderResult::kVersionUnchecked;
  }
  // A header that could not be read is not one of an unknown format: it
  // is reported as a read error, and nothing is repaired.
  if (stream->ReadError()) result = HeaderResult::kReadFailed;
  outcome.headerResult = result;
  outcome.headerPos = info->headerPos;
  if (result != HeaderResult::kOk) {
    outcome.status = stream->ReadError() ? FileStatus::kReadError : FileStatus::kUnrecognized;
    if (outcome.status == FileStatus::kUnrecognized) FinishFile(outcome);
    hashing_.reset();
    stream.reset();
    info.reset();
    return false;
  }

  // What a repair must find again before it writes: the file, its size and
  // its header bytes, as they are before the frames are read.
  if (options_.forWriting) {
    if (opened_) checkedFile_ = opened_->file;
    checkedKnown_ = (opened_ || IdentityOfHandle(stream->handle(), checkedFile_)) &&
                    ReadHeaderBlock(*stream, info->headerPos, checkedBlock_);
  }

  // The last file's decoder, if there was one: building and clearing its
  // 90 KiB for each file cost more than a small file's check.
  if (spare_) {
    decoder = std::move(spare_);
    decoder->Attach(source);
  } else {
    decoder.reset(new (std::nothrow) FrameDecoder(source));
  }
  if (!decoder) {
    Close();
    return false;
  }
  decoder->Start(*info);

  outcome.status = FileStatus::kStopped;  // until the walk ends
  outcome.streamVersion = info->streamVersion;
  outcome.declaredFrames = info->frameCount;
  outcome.sampleRate = info->sampleRate;
  outcome.fileLength = info->fileLengthCopy;
  return true;
}

FileCheck::Step FileCheck::CheckFrame(FileOutcome& outcome) {
  FrameDecoder& d = *decoder;
  const FrameResult result = d.CheckNextFrame();
  if (result == FrameResult::kPassed) return Step::kPassed;

  outcome.goodFrames = d.framesDecoded;
  switch (result) {
    case FrameResult::kEndOfFrames:
      outcome.status = FileStatus::kOk;
      FinishFile(outcome);
      return Step::kComplete;
    case FrameResult::kReadError:
      outcome.status = FileStatus::kReadError;
      return Step::kReadError;
    default:
      break;
  }
  outcome.status = FileStatus::kBroken;
  if (info->fieldsRead) {
    outcome.failAt = FileOutcome::FailPlace{d.FrameStartOffset(), d.frameStart};
  }
  FinishFile(outcome);
  return Step::kBroken;
}

void FileCheck::Repair(FileOutcome& outcome) {
  if (!stream || !info) return;
  const StreamVersion* version = WritableHeader(*info);
  if (version == nullptr) return;
  if (!options_.forWriting) {
    if (readOnly_) outcome.repair = RepairOutcome::kReadOnly;
    return;
  }
  outcome.repair = RepairOutcome::kWriteFailed;
  if (!checkedKnown_ || !ReadHeaderBlock(*stream, info->headerPos, outcome.headerBefore)) return;
  if (PlanCountRewrite(*version, outcome.headerBefore, outcome.goodFrames, outcome.headerAfter) !=
      HeaderResult::kOk)
    return;
  auto notWritten = [&](RepairOutcome why) { outcome.repair = why; };
  if (!SameFileAsChecked()) return notWritten(RepairOutcome::kChanged);
  // Another repair of this file came first (a second program, or the file
  // listed under two names): nothing left to write, nor to journal.
  if (std::memcmp(outcome.headerBefore, outcome.headerAfter, kHeaderBlockSize) == 0)
    return notWritten(RepairOutcome::kAlreadyRepaired);
  if (std::memcmp(outcome.headerBefore, checkedBlock_, kHeaderBlockSize) != 0)
    return notWritten(RepairOutcome::kChanged);
  std::unique_lock<std::mutex> turn;
  if (options_.rewriteTurn != nullptr) turn = std::unique_lock<std::mutex>(*options_.rewriteTurn);
  if (options_.beforeRewrite != nullptr && *options_.beforeRewrite &&
      !(*options_.beforeRewrite)(path_, outcome)) {
    // Not journalled: not written.
    return notWritten(RepairOutcome::kJournalFailed);
  }
  // The journal may have taken a while (it syncs): look once more, just
  // before the write.
  uint8_t now[kHeaderBlockSize];
  if (!SameFileAsChecked()) return notWritten(RepairOutcome::kChanged);
  if (!ReadHeaderBlock(*stream, info->headerPos, now)) return;
  if (std::memcmp(now, checkedBlock_, kHeaderBlockSize) != 0) return notWritten(RepairOutcome::kChanged);
  if (WriteHeaderBlock(*stream, info->headerPos, outcome.headerAfter, timesSaved_ ? &times_ : nullptr))
    outcome.repair = RepairOutcome::kRepaired;
  // Whether written or not, the bytes hashed may no longer be the file's.
  outcome.contentHash.reset();
  FileStamp after;
  outcome.stamp = ReadFileStamp(stream->handle(), after) ? std::optional<FileStamp>(after) : std::nullopt;
}

bool FileCheck::SameFileAsChecked() const {
  FileIdentity byHandle, byPath;
  return IdentityOfHandle(stream->handle(), byHandle) && byHandle == checkedFile_ &&
         IdentityOfPath(Text(path_), byPath) && byPath == checkedFile_;
}

bool WriteHeaderBlock(FileStream& stream, int32_t headerPos, const uint8_t (&block)[kHeaderBlockSize],
                      const FileTimes* keep) {
  const bool written = SeekToHeader(stream, headerPos) &&
                       stream.Write(block, kHeaderBlockSize) == static_cast<uint32_t>(kHeaderBlockSize);
  if (keep != nullptr) RestoreFileTimes(stream.handle(), *keep);
  return written;
}

FileCheck::FileCheck() = default;

FileCheck::~FileCheck() {
  Close();
}

void FileCheck::Close() {
  if (decoder) spare_ = std::move(decoder);
  hashing_.reset();
  info.reset();
  stream.reset();
  timesSaved_ = false;
  readOnly_ = false;
  checkedKnown_ = false;
  opened_.reset();
}

void CheckWholeFile(FileCheck& check, const Text& path, const FileCheckOptions& options,
                    const std::atomic<bool>& running, std::atomic<uint64_t>& bytesRead,
                    FileOutcome& outcome) {
  if (!running.load()) {
    outcome.status = FileStatus::kStopped;
    return;
  }
  if (!check.Open(path, options, outcome)) return;
  for (uint32_t turn = 1;; ++turn) {
    if (!running.load()) {
      outcome.status = FileStatus::kStopped;
      break;
    }
    const FileCheck::Step step = check.CheckFrame(outcome);
    if (step == FileCheck::Step::kPassed) {
      if (turn % 64 == 0) bytesRead.store(check.BytesConsumed(), std::memory_order_relaxed);
      continue;
    }
    if (step == FileCheck::Step::kBroken) check.Repair(outcome);
    break;
  }
  check.Close();
}

}  // namespace velkscan
