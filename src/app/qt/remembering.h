// The window's remembered checks: every check recorded in the default store
// (the one velkscan-cli --remember uses), and, when the user chose it, files
// unchanged since a check that found them whole are not read again.
//
// Every file read is compared with the content last accepted, as
// velkscan-cli --verify does: a silent change gets its line, and stays
// flagged until the user accepts the new content (the report's menu).
//
// The store is opened by the worker as a job begins and flushed and closed
// as it ends (after a Stop or a close too), so neither a slow store nor a
// busy one holds the window: a Stop or close ends any wait for it. A store that cannot be used, or fails
// during the job, gets a line in the report; the files are checked all the same, and the store is never
// deleted, emptied or replaced.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "scan/scanjob.h"
#include "store/checkstore.h"
#include "store/remembered.h"

namespace velkscan {

class Remembering {
 public:
  Remembering() = default;
  Remembering(const Remembering&) = delete;
  Remembering& operator=(const Remembering&) = delete;

  // The job whose Stop ends a wait for the store (it goes before this
  // object), and the rules of the window's checks.
  void Attach(const ScanJob& job);

  // The job's hooks (ScanHooks), the worker's threads. A job begins: the
  // store opened, and what the report says when it cannot be; it ends: the
  // store flushed and closed.
  Text AtJobStart();
  Text AtJobEnd();
  // Files are hashed while the store of this job is open; null otherwise.
  std::unique_ptr<ContentHasher> MakeHasher() const;
  bool Recall(TextView path, FileOutcome& outcome);
  Text LateFinding(TextView path, const FileOutcome& outcome);

  // The user's choice; taken by each job as it begins.
  std::atomic<bool> skipUnchanged{false};

  // After a file's lines (the worker's thread): its check recorded.
  void FileReported(const FileOutcome& outcome, TextView path);

  // The files the last job found changed silently (while idle).
  bool HasFlagged();
  // Accepts their content now (store::AcceptContent): what became of each,
  // for a box. A store another program holds is waited for a little only.
  std::string AcceptFlagged();

 private:
  const ScanJob* job_ = nullptr;
  std::string storePath_;
  std::unique_ptr<store::CheckStore> store_;  // open during a job, when it could be
  store::RememberOptions options_;
  std::mutex flaggedMutex_;
  std::vector<std::string> flagged_;
};

}  // namespace velkscan
