#include "qt/rowwork.h"

#include <QStringList>
#include <algorithm>

namespace velkscan {

bool RowWork::Start(const Text& path, const QString& doing, Work work) {
  if (Busy(path)) return false;
  const uint64_t id = ++lastId_;
  tasks_.push_back({id, path, doing, {}});
  tasks_.back().thread = std::thread([this, id, work = std::move(work), atWork = atWork] {
    if (atWork) atWork(running_);
    std::function<void()> takeIn = work(running_);
    // The RowWork outlives the call: its end waits for this thread first.
    QMetaObject::invokeMethod(
        this, [this, id, takeIn = std::move(takeIn)] { Ended(id, takeIn); }, Qt::QueuedConnection);
  });
  if (changed) changed();
  return true;
}

void RowWork::Ended(uint64_t id, const std::function<void()>& takeIn) {
  const auto task = std::find_if(tasks_.begin(), tasks_.end(), [id](const Task& t) { return t.id == id; });
  if (task == tasks_.end()) return;  // stopped by a Close
  task->thread.join();               // its last step was the post
  tasks_.erase(task);
  if (takeIn) takeIn();
  if (changed) changed();
}

bool RowWork::Busy(const Text& path) const {
  return std::any_of(tasks_.begin(), tasks_.end(), [&path](const Task& t) { return t.path == path; });
}

QString RowWork::Doing() const {
  QStringList doing;
  for (const Task& task : tasks_) doing << task.doing;
  return doing.join(QStringLiteral("; "));
}

void RowWork::Close() {
  if (tasks_.empty()) return;
  running_ = false;
  running_.notify_all();
  for (Task& task : tasks_) task.thread.join();
  tasks_.clear();
  running_ = true;  // a window shown again may start actions again
  if (changed) changed();
}

}  // namespace velkscan
