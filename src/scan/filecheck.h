// The check of one file: open, header, frame loop, repair.
//
// FileCheck holds the per-file objects (stream, header record, decoder) and
// does one step at a time, so the scan worker can check one frame per turn of
// its loop. CheckWholeFile strings the same steps together for the checker
// threads of a parallel job. Neither writes report lines: the job composes
// them from the FileOutcome, in list order, with the same code either way.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "decoder/framedecoder.h"
#include "platform/filestream.h"
#include "platform/filetimes.h"
#include "platform/text.h"
#include "stream/streaminfo.h"

namespace velkscan {

enum class FileStatus {
  kStopped,       // the job was stopped before the file was finished (nothing reported)
  kOk,            // every declared frame passed
  kBroken,        // a frame failed the length check
  kReadError,     // a read of the header or frame data failed: not checked to the end, never repaired
  kOpenFailed,    // "file open failed."
  kUnrecognized,  // "unrecognized format (code)." with the header's cause
};

// What became of a broken file's repair, one outcome each.
enum class RepairOutcome {
  kNone,             // no repair asked for, or a header this program never writes
  kRepaired,         // the header was rewritten to claim the good frames only
  kReadOnly,         // "not repaired (read-only)": opened for reading only
  kJournalFailed,    // "repair failed (...)": the journal line could not be written first
  kWriteFailed,      // "repair failed (...)": the header could not be read, planned or written
  kChanged,          // "not repaired (file changed during the check)": not the file that was checked
  kAlreadyRepaired,  // the header holds the new count already: nothing written, and no line
};

// What became of one file: everything its report lines, the terminal's JSON
// and the repair journal need.
struct FileOutcome {
  uint32_t index = 0;  // in the file list
  FileStatus status = FileStatus::kStopped;
  HeaderResult headerResult = HeaderResult::kOk;
  int32_t headerPos = 0;
  uint32_t streamVersion = 0;
  uint32_t declaredFrames = 0;  // the header's frame count
  uint32_t goodFrames = 0;      // frames that passed
  double sampleRate = 0;
  int32_t fileLength = 0;  // the header record's second file-length field
  // Where the frame that failed starts, or the one that would have come next
  // (a header that declares no frames); known when the header's fields were
  // read.
  struct FailPlace {
    uint64_t byte = 0;  // the byte of the file that holds its first bit
    // The same place as a bit of the stream, counted from the top of the
    // word that holds the first frame's first bit: where a walk past it
    // resumes.
    uint64_t bit = 0;
  };
  std::optional<FailPlace> failAt;
  // The frame-count rewrite, and the header block before and after it (when
  // it was read and planned).
  RepairOutcome repair = RepairOutcome::kNone;
  uint8_t headerBefore[kHeaderBlockSize] = {};
  uint8_t headerAfter[kHeaderBlockSize] = {};
  // The file as the check opened it, before a byte was read (a change while
  // it is read then shows at the next look), or as a repair left it; known
  // when the system gives it.
  std::optional<FileStamp> stamp;
  // With a content hasher: the hash of every byte of the file, read to its
  // end in the same pass as the check; not known when a read failed or the
  // header was rewritten after it (the bytes hashed are no longer the file's).
  std::optional<std::array<uint8_t, 16>> contentHash;
  // Not checked but recalled (--changed): status, frames and sample rate are
  // those of the check at recalledAt (seconds since 1970).
  bool recalled = false;
  int64_t recalledAt = 0;
  // Found changed by its content hash though its size and modification
  // time are as remembered (--verify): an error beyond the frame check.
  bool silentChange = false;

  bool id3() const { return headerPos > 0; }
  // The header write was tried: it succeeded, or the write itself failed.
  bool rewriteTried() const {
    return repair == RepairOutcome::kRepaired || repair == RepairOutcome::kWriteFailed;
  }
  bool opened() const {
    return status == FileStatus::kOk || status == FileStatus::kBroken || status == FileStatus::kReadError;
  }
};

// Called with the planned rewrite (headerPos, headerBefore, headerAfter set)
// before the header is written: the write-ahead journal. False: the header
// is not written. May be called from several checker threads at once.
using BeforeRewrite = std::function<bool(TextView path, const FileOutcome& planned)>;

// A 128-bit hash of a file's content, fed its bytes in file order.
class ContentHasher {
 public:
  virtual ~ContentHasher() = default;
  virtual void Update(const void* bytes, std::size_t count) = 0;
  virtual void Digest(uint8_t (&digest)[16]) = 0;
};
// Called for each file checked, perhaps from several checker threads at
// once; null (or a null hasher): the file is not hashed.
using MakeContentHasher = std::function<std::unique_ptr<ContentHasher>()>;

struct FileCheckOptions {
  bool forWriting = true;  // open for reading and writing; broken headers are repaired
  bool keepTimes = false;  // a repaired file keeps its access and modification times
  // A file that cannot be opened for writing is checked read-only (and a
  // broken one's repair kReadOnly) instead of failing to open.
  bool readOnlyFallback = false;
  const BeforeRewrite* beforeRewrite = nullptr;
  // Non-null: held from beforeRewrite through the write. With several
  // checkers, one file at a time is between the front end's last word on
  // it and its write, so a Stop the front end takes in lets at most that
  // one file change after it, as with one checker.
  std::mutex* rewriteTurn = nullptr;
  // Non-null: every file checked is also hashed whole (see FileOutcome).
  const MakeContentHasher* makeHasher = nullptr;
};

class FileCheck {
 public:
  enum class Step { kPassed, kComplete, kBroken, kReadError };

  FileCheck();
  FileCheck(const FileCheck&) = delete;
  FileCheck& operator=(const FileCheck&) = delete;
  ~FileCheck();

  // Opens the file, reads its header and positions a new decoder at the
  // first frame. False when the file cannot be opened (kOpenFailed) or its
  // header is not accepted (kUnrecognized); nothing is left open then.
  bool Open(const Text& path, const FileCheckOptions& options, FileOutcome& outcome);
  // The same, read-only, for a file already open for reading (the handle
  // becomes the check's); path only names it in the outcome.
  bool OpenReadOnly(NativeHandle handle, const Text& path, FileOutcome& outcome);
  // Checks one frame and refills the ring. At kComplete, kBroken or
  // kReadError the outcome holds the status and the good frames.
  Step CheckFrame(FileOutcome& outcome);
  // Rewrites the header's frame count to the good frames: only in a file
  // opened for writing, and only when the header's fields were read and its
  // stream version is one the decoder checks (anything else was never
  // understood, so it is never written). The new block is planned first
  // and handed to beforeRewrite; only when that succeeds is it written.
  // Written only to the file that was checked: the path must still name it,
  // with the size and header bytes it had (looked at before beforeRewrite and
  // again just before the write), else kChanged; a header that holds the new
  // count already is kAlreadyRepaired, and beforeRewrite is not called.
  void Repair(FileOutcome& outcome);
  // Bytes of the stream the decoder has consumed so far.
  uint64_t BytesConsumed() const { return decoder->BitsConsumed64() / 8; }
  // Destroys the header record and the stream (closing the file); the
  // decoder is kept for the next Open.
  void Close();

  bool open() const { return decoder != nullptr; }

  std::unique_ptr<StreamInfo> info;
  std::unique_ptr<FileStream> stream;
  std::unique_ptr<FrameDecoder> decoder;

 private:
  class HashingStream;
  // Open's work once the file is open.
  bool Begin(NativeHandle handle, const FileCheckOptions& options, FileOutcome& outcome);
  // Reads what the check left unread, to the end of the file, into the
  // hash, and notes the file's stamp.
  void FinishFile(FileOutcome& outcome);

  std::unique_ptr<HashingStream> hashing_;
  std::unique_ptr<FrameDecoder> spare_;  // the decoder between two files
  FileCheckOptions options_;
  TextView path_;
  bool readOnly_ = false;            // opened for reading after opening for writing failed
  std::optional<FileStamp> opened_;  // the file as the open found it
  // What was checked, in a file opened for writing: the file, and its
  // header block as it was read before the frames.
  bool checkedKnown_ = false;
  FileIdentity checkedFile_;
  uint8_t checkedBlock_[kHeaderBlockSize] = {};
  // The path still names the checked file, and it has the checked size.
  bool SameFileAsChecked() const;
  bool timesSaved_ = false;
  FileTimes times_;
};

// The whole check of one file with `check`, closed again at the end, one
// frame at a time with the stop test before each (running false: stop, the
// file is closed untouched and the status is kStopped), the repair when the
// file is broken and open for writing. bytesRead follows the decoder now and
// then, for progress.
void CheckWholeFile(FileCheck& check, const Text& path, const FileCheckOptions& options,
                    const std::atomic<bool>& running, std::atomic<uint64_t>& bytesRead, FileOutcome& outcome);

// Writes a whole header block at headerPos; with keep, puts those access and
// modification times back afterwards. The one header write of the scan and
// of undoing a repair.
bool WriteHeaderBlock(FileStream& stream, int32_t headerPos, const uint8_t (&block)[kHeaderBlockSize],
                      const FileTimes* keep);

}  // namespace velkscan
