#include "scan/parallel.h"

#include <algorithm>

namespace velkscan {

ParallelOrder::ParallelOrder(uint32_t fileCount, uint32_t checkers, uint32_t slotsPerChecker, bool grows,
                             bool screened)
    : slots_(std::max<uint32_t>(1, checkers * slotsPerChecker)),
      fileCount_(fileCount),
      grows_(grows),
      screened_(screened) {}

bool ParallelOrder::Take(uint32_t& index) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (screened_) {
    // The worker hands out only what the ring has room for. A file it
    // screened but has not yet settled or handed on may still come.
    while (!stopped_ && released_.empty() && (next_ < fileCount_ || grows_ || screening_ > 0)) {
      ++checkersWaiting_;
      slotFree_.wait(lock);
      --checkersWaiting_;
    }
    if (stopped_ || released_.empty()) return false;
    index = released_.front();
    released_.pop_front();
    return true;
  }
  const uint32_t slotCount = static_cast<uint32_t>(slots_.size());
  // Only one kind of wait at a time (files left or not), so a slot freed
  // wakes a checker that waits for one.
  while (!stopped_ && (next_ < fileCount_ ? next_ >= head_ + slotCount : grows_)) {
    ++checkersWaiting_;
    slotFree_.wait(lock);
    --checkersWaiting_;
  }
  if (stopped_ || next_ >= fileCount_) return false;
  index = next_++;
  return true;
}

void ParallelOrder::Put(const FileOutcome& outcome, uint64_t fileBytes) {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot& slot = slots_[outcome.index % slots_.size()];
    slot.outcome = outcome;
    slot.bytes = fileBytes;
    slot.done = true;
    finishedBytes_ += fileBytes;
    wake = workerWaiting_ && outcome.index == head_;
  }
  if (wake) resultReady_.notify_one();
}

bool ParallelOrder::Screen(uint32_t& index) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopped_ || next_ >= fileCount_ || next_ >= head_ + static_cast<uint32_t>(slots_.size())) return false;
  index = next_++;
  ++screening_;
  return true;
}

void ParallelOrder::Settle(const FileOutcome& outcome) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --screening_;  // a checker still waiting then ends at Stop, with the job
  }
  Put(outcome, 0);
}

void ParallelOrder::Release(uint32_t index) {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --screening_;
    released_.push_back(index);
    wake = checkersWaiting_ > 0;
  }
  if (wake) slotFree_.notify_one();
}

bool ParallelOrder::Next(uint32_t index, FileOutcome& outcome, std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  Slot& slot = slots_[index % slots_.size()];
  if (!slot.done) {
    workerWaiting_ = true;
    resultReady_.wait_for(lock, wait, [&] { return slot.done; });
    workerWaiting_ = false;
    if (!slot.done) return false;
  }
  outcome = slot.outcome;
  slot.done = false;
  finishedBytes_ -= slot.bytes;
  ++head_;
  // One slot came free: one checker can take one more file (when screened,
  // the worker hands it out).
  const bool wake = checkersWaiting_ > 0 && !screened_;
  lock.unlock();
  if (wake) slotFree_.notify_one();
  return true;
}

uint64_t ParallelOrder::FinishedBytes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return finishedBytes_;
}

void ParallelOrder::Grow(uint32_t fileCount) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fileCount_ = std::max(fileCount_, fileCount);
  }
  slotFree_.notify_all();
}

void ParallelOrder::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  slotFree_.notify_all();
}

bool ParallelOrder::Leftover(uint32_t index, FileOutcome& outcome) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot& slot = slots_[index % slots_.size()];
  if (!slot.done) return false;
  slot.done = false;
  outcome = slot.outcome;
  return true;
}

uint32_t ParallelOrder::taken() {
  std::lock_guard<std::mutex> lock(mutex_);
  return next_;
}

}  // namespace velkscan
