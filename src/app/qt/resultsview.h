// ResultsView: the window's table of results with the line of counts and the
// choice of what to show above it, the damage strip under it, and the
// actions on a row (its menu: right click, Shift+F10, the Menu key):
// - open the folder, copy the path (Ctrl+Shift+O, Ctrl+Shift+C: the
//   window's keys, on the table's current row while the table has the focus);
// - show where the damage is (Ctrl+M, or a double click on a broken file: a
//   double click on any other opens its folder);
// - save a copy of the good frames (Ctrl+Shift+G) into the folder of the
//   "Broken files" choice, or one asked for;
// - undo this file's repair (Ctrl+Z) from the run's journal;
// - check again (F5): read-only, the row shows what the check finds now.
// The last three only while no scan runs. The damage map, the copy and the
// check again read the file on a thread of their own (qt/rowwork.h): the
// line above the table says what is going on, the table shows a busy
// cursor, and no other action starts on that file meanwhile.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>

#include "platform/text.h"
#include "qt/resultsmodel.h"
#include "qt/rowwork.h"

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QTableView;

namespace velkscan {

class DamageStrip;
struct DamageTrack;
struct FileRecovery;
class RepairJournal;

class ResultsView : public QWidget {
  Q_OBJECT

 public:
  struct Hooks {
    std::function<bool()> busy;              // a scan runs
    std::function<QString()> salvageFolder;  // "": ask
    RepairJournal* journal = nullptr;
  };
  ResultsView(Hooks hooks, QWidget* parent = nullptr);

  ResultsModel* model() const { return model_; }
  ResultsFilter* filter() const { return filter_; }
  QTableView* table() const { return table_; }
  QLabel* countsLine() const { return counts_; }
  // What the actions at work do ("Checking NAME again..."); hidden when none.
  QLabel* workLine() const { return workLine_; }
  RowWork& work() { return work_; }
  QComboBox* showBox() const { return showBox_; }
  DamageStrip* strip() const { return strip_; }
  QAction* salvageAction() const { return salvageAction_; }
  QAction* undoAction() const { return undoAction_; }
  QAction* checkAgainAction() const { return checkAgainAction_; }
  QAction* damageAction() const { return damageAction_; }

  // A run begins (the table emptied) and ends (the filter then shows the
  // files that need attention, unless everything was asked for).
  void BeginRun(BrokenMode mode);
  void RunEnded();
  // The current row's path while the table has the focus; empty otherwise.
  Text FocusedPath() const;
  // The row menu at a place of the table's viewport; the actions enabled
  // for the current row.
  QMenu* ShowMenu(const QPoint& at);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  int CurrentRow() const;  // in the model; -1 for none
  void EnableActions();
  void ShowCounts();
  int RowOf(const Text& path) const;  // in the model; -1 for none
  void ShowWork();
  void ShowDamage();
  void ShowTrack(const QString& name, DamageTrack track);
  void Salvage();
  void SalvageInto(const Text& path, const QString& folder);
  void TakeSalvage(const Text& path, const FileRecovery& recovery);
  void UndoRepair();
  void CheckAgain();
  void Tell(const QString& objectName, const QString& text, const QString& details = {});

  Hooks hooks_;
  ResultsModel* model_;
  ResultsFilter* filter_;
  QLabel* counts_;
  QLabel* workLine_;
  QComboBox* showBox_;
  QTableView* table_;
  QLabel* stripLabel_;
  DamageStrip* strip_;
  QAction* salvageAction_;
  QAction* undoAction_;
  QAction* checkAgainAction_;
  QAction* damageAction_;
  // Declared last, so it goes first: its end waits for the actions' threads.
  RowWork work_;

 public:
  // Set by the window: its actions for the path of a row (copy, open).
  QAction* copyPathAction = nullptr;
  QAction* openFolderAction = nullptr;
};

}  // namespace velkscan
