#include "scan/filecheck.h"

#include <cstring>
#include <new>

#include "stream/headerblock.h"

namespace velkscan {

namespace {

// The header was read in full: every read that gets past the layout checks
// sets two channels; the "VKQ" bytes accepted without reading leave 0.
bool HeaderWasRead(const StreamInfo& info) {
  return info.channelCount == 2;
}

// Passes reads and positioning to the file but keeps the one header block
// written, so the rewrite can be planned (and journalled) before it is done.
class PlannedWrite final : public ByteStream {
 public:
  explicit PlannedWrite(ByteStream& file) : file_(file) {}
  uint32_t Read(void* buffer, int32_t count) override { return file_.Read(buffer, count); }
  uint32_t Seek(int32_t offset, int origin) override { return file_.Seek(offset, origin); }
  uint32_t Tell() override { return file_.Tell(); }
  uint32_t Write(const void* buffer, int32_t count) override {
    if (count != kHeaderBlockSize || written_) return 0;
    std::memcpy(block, buffer, kHeaderBlockSize);
    written_ = true;
    return kHeaderBlockSize;
  }
  bool written() const { return written_; }
  uint8_t block[kHeaderBlockSize] = {};

 private:
  ByteStream& file_;
  bool written_ = false;
};

}  // namespace

bool FileCheck::Open(const Text& path, const FileCheckOptions& options, FileOutcome& outcome) {
  Close();
  options_ = options;
  path_ = path;
  outcome.status = FileStatus::kOpenFailed;
  NativeHandle handle = OpenFileForScan(path, options.forWriting);
  readOnly_ = handle == kInvalidHandle && options.forWriting && options.readOnlyFallback;
  if (readOnly_) handle = OpenFileForScan(path, false);
  if (handle == kInvalidHandle) return false;
  if (readOnly_) options_.forWriting = false;
  // Before the first read, which may move the access time.
  timesSaved_ = options_.forWriting && options.keepTimes && SaveFileTimes(handle, times_);
  stream.reset(new (std::nothrow) FileStream(handle));
  info.reset(new (std::nothrow) StreamInfo{});
  if (!stream || !info) {
    // Out of memory: like a file that cannot be set up.
    if (!stream) {
      FileStream closer(handle);
    }
    Close();
    return false;
  }

  HeaderResult result = ReadStreamHeader(*info, *stream);
  // A "VKQ" header read in full whose version no frame parser handles
  // (0x27 ... 0x67) is not a format this program knows.
  if (result == HeaderResult::kOk && HeaderWasRead(*info) && !IsCheckedStreamVersion(info->streamVersion)) {
    result = HeaderResult::kVersionUnchecked;
  }
  // A header that could not be read is not one of an unknown format: it
  // is reported as a read error, and nothing is repaired.
  if (stream->ReadError()) result = HeaderResult::kReadFailed;
  outcome.headerResult = result;
  outcome.headerPos = info->headerPos;
  if (result != HeaderResult::kOk) {
    outcome.status = stream->ReadError() ? FileStatus::kReadError : FileStatus::kUnrecognized;
    stream.reset();
    info.reset();
    return false;
  }

  // What a repair must find again before it writes: the file, its size and
  // its header bytes, as they are before the frames are read.
  checkedKnown_ = options_.forWriting && IdentityOfHandle(stream->handle(), checkedFile_) &&
                  ReadHeaderBlock(*stream, info->headerPos, checkedBlock_);

  decoder.reset(new (std::nothrow) FrameDecoder(*stream));
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
      return Step::kComplete;
    case FrameResult::kReadError:
      outcome.status = FileStatus::kReadError;
      return Step::kReadError;
    default:
      break;
  }
  outcome.status = FileStatus::kBroken;
  if (HeaderWasRead(*info)) {
    outcome.failOffsetKnown = true;
    outcome.failBit = d.frameStart;
    outcome.failOffset = d.FrameStartOffset();
  }
  return Step::kBroken;
}

void FileCheck::Repair(FileOutcome& outcome) {
  if (!stream || !info) return;
  if (!HeaderWasRead(*info) || !IsCheckedStreamVersion(info->streamVersion)) return;
  if (!options_.forWriting) {
    if (readOnly_) outcome.repairNote = RepairNote::kReadOnly;
    return;
  }
  outcome.rewriteRun = true;
  outcome.rewriteResult = -1;
  outcome.repairNote = RepairNote::kWriteFailed;
  if (!checkedKnown_ || !ReadHeaderBlock(*stream, info->headerPos, outcome.headerBefore)) return;
  PlannedWrite plan(*stream);
  const HeaderResult result = FindStreamVersion(info->streamVersion)->layout == HeaderLayout::kOlder
                                  ? RewriteFrameCountSv46(*info, plan, outcome.goodFrames)
                                  : RewriteFrameCountSv7(*info, plan, outcome.goodFrames);
  if (result != HeaderResult::kOk || !plan.written()) return;
  std::memcpy(outcome.headerAfter, plan.block, kHeaderBlockSize);
  outcome.headerBytesKnown = true;
  auto notWritten = [&](RepairNote note) {
    outcome.rewriteRun = false;
    outcome.repairNote = note;
  };
  if (!SameFileAsChecked()) return notWritten(RepairNote::kChanged);
  // Another repair of this file came first (a second program, or the file
  // listed under two names): nothing left to write, nor to journal.
  if (std::memcmp(outcome.headerBefore, outcome.headerAfter, kHeaderBlockSize) == 0)
    return notWritten(RepairNote::kAlreadyRepaired);
  if (std::memcmp(outcome.headerBefore, checkedBlock_, kHeaderBlockSize) != 0)
    return notWritten(RepairNote::kChanged);
  if (options_.beforeRewrite != nullptr && *options_.beforeRewrite &&
      !(*options_.beforeRewrite)(path_, outcome)) {
    // Not journalled: not written.
    return notWritten(RepairNote::kJournalFailed);
  }
  // The journal may have taken a while (it syncs): look once more, just
  // before the write.
  uint8_t now[kHeaderBlockSize];
  if (!SameFileAsChecked()) return notWritten(RepairNote::kChanged);
  if (!ReadHeaderBlock(*stream, info->headerPos, now)) return;
  if (std::memcmp(now, checkedBlock_, kHeaderBlockSize) != 0) return notWritten(RepairNote::kChanged);
  if (WriteHeaderBlock(*stream, info->headerPos, plan.block, timesSaved_ ? &times_ : nullptr)) {
    outcome.rewriteResult = 0;
    outcome.repairNote = RepairNote::kNone;
  }
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

void FileCheck::Close() {
  info.reset();
  stream.reset();
  decoder.reset();
  timesSaved_ = false;
  readOnly_ = false;
  checkedKnown_ = false;
}

void CheckWholeFile(const Text& path, const FileCheckOptions& options, const std::atomic<int>& idle,
                    std::atomic<uint64_t>& bytesRead, FileOutcome& outcome) {
  FileCheck check;
  if (idle.load() != 0) {
    outcome.status = FileStatus::kStopped;
    return;
  }
  if (!check.Open(path, options, outcome)) return;
  for (uint32_t turn = 1;; ++turn) {
    if (idle.load() != 0) {
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
