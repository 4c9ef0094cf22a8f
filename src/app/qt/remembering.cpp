#include "qt/remembering.h"

#include <chrono>

#include "store/contenthash.h"

namespace velkscan {

void Remembering::Attach(const ScanJob& job) {
  job_ = &job;
  // The window repairs what it finds broken: only a check that found a
  // file whole stands for another. Its list was made at a drop, perhaps
  // long before the Scan: each file's state is asked again.
  options_.repair = true;
  options_.onlyWhole = true;
  options_.listedStampIsFresh = false;
}

bool Remembering::Recall(TextView path, FileOutcome& outcome) {
  // The window lists absolute paths (arguments are made absolute at start,
  // drops and forwarded paths are), so a path is its own key.
  const std::string key(path);
  return options_.changed && store::RecallFile(options_, key, key, outcome);
}

Text Remembering::LateFinding(TextView path, const FileOutcome& outcome) {
  return options_.store == nullptr ? Text() : store::FindSilentChange(*options_.store, Text(path), outcome);
}

std::unique_ptr<ContentHasher> Remembering::MakeHasher() const {
  return options_.store == nullptr ? nullptr : store::MakeXxh3Hasher();
}

Text Remembering::AtJobStart() {
  options_.changed = skipUnchanged.load();
  options_.store = nullptr;
  {
    std::lock_guard<std::mutex> lock(flaggedMutex_);
    flagged_.clear();
  }
  std::string why;
  storePath_ = store::CheckStore::DefaultPath(&why);
  auto opened = std::make_unique<store::CheckStore>();
  // A store another program holds is waited for, but not past a Stop or
  // a close, during the whole job.
  const bool open = !storePath_.empty() && opened->Open(storePath_, [this] { return !job_->running(); });
  if (!open) {
    why = storePath_.empty() ? ": " + why : " " + storePath_ + ": " + opened->error();
    return "Cannot use the store of checks" + why + "; this run is not recorded" +
           (options_.changed ? " and no file is skipped.\r\n" : ".\r\n");
  }
  store_ = std::move(opened);
  options_.store = store_.get();
  return Text();
}

Text Remembering::AtJobEnd() {
  if (!store_) return Text();
  const bool flushed = store_->Flush();
  const std::string error = store_->error();
  options_.store = nullptr;
  store_.reset();  // closed: the next job opens it again
  if (flushed) return Text();
  return "The store of checks " + storePath_ + " failed (" + error +
         "): the results of this run are not all recorded.\r\n";
}

void Remembering::FileReported(const FileOutcome& outcome, TextView path) {
  if (options_.store == nullptr) return;
  if (std::optional<store::CheckRecord> record = store::RecordOf(outcome, std::string(path)))
    options_.store->Record(std::move(*record));
  if (!outcome.silentChange) return;
  std::lock_guard<std::mutex> lock(flaggedMutex_);
  flagged_.emplace_back(path);
}

bool Remembering::HasFlagged() {
  std::lock_guard<std::mutex> lock(flaggedMutex_);
  return !flagged_.empty();
}

std::string Remembering::AcceptFlagged() {
  std::lock_guard<std::mutex> lock(flaggedMutex_);
  store::CheckStore accepting;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  if (!accepting.Open(storePath_, [until] { return std::chrono::steady_clock::now() > until; }))
    return "Nothing was accepted: the store of checks " + storePath_ + " cannot be used (" +
           accepting.error() + ").";
  std::string lines;
  std::vector<std::string> refused;
  for (const std::string& path : flagged_) {
    const std::string why = store::AcceptContent(accepting, path, path);
    lines += path + (why.empty() ? ": its content now is accepted.\n" : ": not accepted: " + why + ".\n");
    if (!why.empty()) refused.push_back(path);
  }
  if (!accepting.Flush())
    return "The store of checks failed (" + accepting.error() + "): not every file was accepted.";
  flagged_ = std::move(refused);
  return lines;
}

}  // namespace velkscan
