// The window's remembered checks: every check recorded in the default store
// (the one velkscan-cli --remember uses), and, when the user chose it, files
// unchanged since a check that found them whole are not read again.
//
// The store is opened by the worker as a job begins and flushed and closed
// as it ends (after a Stop or a close too), so neither a slow store nor a
// busy one holds the window. A store that cannot be used, or fails during
// the job, gets a line in the report; the files are checked all the same,
// and the store is never deleted, emptied or replaced.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "scan/scanjob.h"
#include "store/checkstore.h"
#include "store/remembered.h"

namespace velkscan {

class Remembering {
 public:
  Remembering() = default;
  Remembering(const Remembering&) = delete;
  Remembering& operator=(const Remembering&) = delete;

  // Sets the job's hooks (the job goes before this object).
  void Attach(ScanJob& job);

  // The user's choice; taken by each job as it begins.
  std::atomic<bool> skipUnchanged{false};

  // After a file's lines (the worker's thread): its check recorded.
  void FileReported(const FileOutcome& outcome, TextView path);

 private:
  Text AtJobStart();
  Text AtJobEnd();

  ScanJob* job_ = nullptr;
  std::string storePath_;
  std::unique_ptr<store::CheckStore> store_;  // open during a job, when it could be
  store::RememberOptions options_;
};

}  // namespace velkscan
