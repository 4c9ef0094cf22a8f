#include "scan/filecheck.h"

#include <new>

#include "stream/headerblock.h"

namespace velkscan {

namespace {

// The header was read in full: every read that gets past the layout checks
// sets two channels; the "VKQ" bytes accepted without reading leave 0.
bool HeaderWasRead(const StreamInfo& info) {
  return info.channelCount == 2;
}

}  // namespace

bool FileCheck::Open(const Text& path, const FileCheckOptions& options, FileOutcome& outcome) {
  Close();
  options_ = options;
  outcome.status = FileStatus::kOpenFailed;
  const NativeHandle handle = OpenFileForScan(path, options.forWriting);
  if (handle == kInvalidHandle) return false;
  // Before the first read, which may move the access time.
  timesSaved_ = options.forWriting && options.keepTimes && SaveFileTimes(handle, times_);
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

  int32_t code = ReadStreamHeader(*info, *stream);
  // A "VKQ" header read in full whose version no frame parser handles
  // (0x27 ... 0x67) is not a format this program knows.
  if (code == kHeaderOk && HeaderWasRead(*info) && !IsCheckedStreamVersion(info->streamVersion)) code = 1;
  outcome.headerCode = code;
  outcome.headerPos = info->headerPos;
  if (code != kHeaderOk) {
    outcome.status = FileStatus::kUnrecognized;
    stream.reset();
    info.reset();
    return false;
  }

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
  if (!options_.forWriting || !stream || !info) return;
  if (!HeaderWasRead(*info) || !IsCheckedStreamVersion(info->streamVersion)) return;
  const bool before = ReadHeaderBlock(*stream, info->headerPos, outcome.headerBefore);
  outcome.rewriteRun = true;
  outcome.rewriteResult = info->streamVersion < 7 ? RewriteFrameCountSv46(*info, *stream, outcome.goodFrames)
                                                  : RewriteFrameCountSv7(*info, *stream, outcome.goodFrames);
  outcome.headerBytesKnown = before && ReadHeaderBlock(*stream, info->headerPos, outcome.headerAfter);
  if (timesSaved_) RestoreFileTimes(stream->handle(), times_);
}

void FileCheck::Close() {
  info.reset();
  stream.reset();
  decoder.reset();
  timesSaved_ = false;
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
