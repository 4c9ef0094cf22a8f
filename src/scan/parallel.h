// The ordering of a parallel job: checker threads take files in list order
// and leave each result in a ring of slots; the worker takes the results out
// in list order. A checker may run ahead of the oldest result not yet taken
// by at most the ring's size.
//
// Every wake-up is for one waiting thread and only when it can go on: a
// result taken frees one slot (one checker may take one more file), and a
// result put wakes the worker only when it is the one the worker waits for.
// So the cost per file does not grow with the number of checkers.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "scan/filecheck.h"

namespace velkscan {

class ParallelOrder {
 public:
  // grows: the list may grow (Grow), so a checker with no file left waits
  // for more instead of ending, until Stop. screened: the worker looks at
  // each file first (Screen), in list order, and settles it itself
  // (Settle) or hands it to the checkers (Release); a checker takes only
  // the files handed to it. A file whose result the worker knows at once (a
  // recalled one) then costs no hand-off between threads.
  ParallelOrder(uint32_t fileCount, uint32_t checkers, uint32_t slotsPerChecker, bool grows = false,
                bool screened = false);

  // --- Checker side ---
  // The next file to check, waiting while the ring is full (or, when the list
  // grows, while no file is left). False when no file is left or the job
  // stops (see Stop).
  bool Take(uint32_t& index);
  // The result of a file taken; fileBytes counts as checked from now on.
  void Put(const FileOutcome& outcome, uint64_t fileBytes);

  // --- Worker side ---
  // screened: the next file to look at, when the ring has room for it;
  // false when there is none now.
  bool Screen(uint32_t& index);
  // The file Screen gave: its result, known without a checker; or the file
  // handed to the checkers.
  void Settle(const FileOutcome& outcome);
  void Release(uint32_t index);
  // The result of file index, which must be the next in list order, waiting
  // up to wait for it. False when it is not there yet.
  bool Next(uint32_t index, FileOutcome& outcome, std::chrono::milliseconds wait);
  // Bytes of results put but not yet taken.
  uint64_t FinishedBytes();
  // The list has fileCount files now (more than before): waiting checkers go on.
  void Grow(uint32_t fileCount);
  // No file is taken any more; every waiting checker returns from Take.
  void Stop();
  // After Stop, with the checkers ended: a result that was put, else false.
  bool Leftover(uint32_t index, FileOutcome& outcome);
  // Files taken (or screened) so far (after Stop: the end of the leftovers).
  uint32_t taken();

 private:
  struct Slot {
    FileOutcome outcome;
    uint64_t bytes = 0;
    bool done = false;
  };

  std::mutex mutex_;
  std::condition_variable slotFree_;
  std::condition_variable resultReady_;
  std::vector<Slot> slots_;
  uint32_t fileCount_;
  const bool grows_;
  const bool screened_;
  uint32_t next_ = 0;  // the next file a checker takes; screened: the next one the worker looks at
  std::deque<uint32_t> released_;  // screened: the files handed to the checkers, not yet taken
  uint32_t screening_ = 0;         // screened: files the worker looks at, not yet settled or handed on
  uint32_t head_ = 0;              // the oldest file whose result is not yet taken
  uint64_t finishedBytes_ = 0;
  uint32_t checkersWaiting_ = 0;
  bool workerWaiting_ = false;
  bool stopped_ = false;
};

}  // namespace velkscan
