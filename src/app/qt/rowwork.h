// RowWork: the actions on a row of the table that read a whole file (check
// again, the damage map, the copy of the good frames), each on a thread of
// its own, so that the window goes on answering however large the file; at
// most one at a time on a file. What an action found is taken in on the
// window's thread, by a call posted to it once the action's thread is done.
//
// Close (and the end of the RowWork) stops what runs, between frames, and
// waits for it: a copy being written is finished, one not begun never is,
// and what the stopped actions found is not taken in.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <thread>

#include "platform/text.h"

namespace velkscan {

class RowWork : public QObject {
 public:
  // On the action's thread: reads the file (running goes false at a Close)
  // and gives what takes in its finding on the window's thread.
  using Work = std::function<std::function<void()>(const std::atomic<bool>& running)>;

  explicit RowWork(QObject* parent = nullptr) : QObject(parent) {}
  ~RowWork() override {
    changed = nullptr;  // its owner is going
    Close();
  }

  // Starts the work on the file at path, `doing` saying what it does
  // ("Checking NAME again..."); false (nothing starts) while another action
  // is at work on the same file.
  bool Start(const Text& path, const QString& doing, Work work);
  bool Busy(const Text& path) const;
  bool Busy() const { return !tasks_.empty(); }
  // What the actions at work do, "; " between them; empty when none.
  QString Doing() const;
  void Close();

  // Called on the window's thread after an action started or ended.
  std::function<void()> changed;
  // Called on the action's thread before it reads the file (tests hold it there).
  std::function<void(const std::atomic<bool>& running)> atWork;

 private:
  void Ended(uint64_t id, const std::function<void()>& takeIn);

  struct Task {
    uint64_t id;
    Text path;
    QString doing;
    std::thread thread;
  };
  std::list<Task> tasks_;
  uint64_t lastId_ = 0;
  std::atomic<bool> running_{true};
};

}  // namespace velkscan
