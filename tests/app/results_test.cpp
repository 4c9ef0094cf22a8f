// The table of results through the real window: a row per file with what the report says of it, the
// counts, the filter and the sort; the actions on a row against velkscan-cli's map and copy and the
// journal; unchanged files shown on demand.
#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QHeaderView>
#include <QHelpEvent>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QRegularExpression>
#include <QTableView>
#include <QToolTip>
#include <semaphore>

#include "apptest.h"
#include "qt/damagestrip.h"
#include "qt/resultsview.h"
#include "urlcatcher.h"

using namespace velkscan;
using namespace velkscan::apptest;

namespace {

fs::path Write(const fs::path& path, uint32_t frames, uint64_t seed,
               std::optional<gen::DamageKind> damage = {}, gen::TagKind tag = gen::TagKind::None) {
  gen::StreamOptions options;
  options.frameCount = frames, options.seed = seed, options.tag = tag;
  gen::GeneratedStream stream = gen::GenerateStream(options);
  if (damage) gen::ApplyDamage(stream, *damage, seed);
  fs::create_directories(path.parent_path());
  gen::WriteFile(path, stream.bytes);
  return path;
}

QString S(const fs::path& path) {
  return QString::fromStdString(path.string());
}

// The table's rows as shown: each cell's text, a row a line, cells between tabs.
QStringList Shown(ResultsView& view) {
  QStringList rows;
  QAbstractItemModel* shown = view.table()->model();
  for (int r = 0; r < shown->rowCount(); ++r) {
    QStringList cells;
    for (int c = 0; c < shown->columnCount(); ++c) cells << shown->index(r, c).data().toString();
    rows << cells.join('\t');
  }
  return rows;
}

// Makes the row of the file named current, the table focused.
void Select(ResultsView& view, const QString& name) {
  QAbstractItemModel* shown = view.table()->model();
  for (int r = 0; r < shown->rowCount(); ++r)
    if (shown->index(r, ResultsModel::kName).data().toString() == name)
      view.table()->setCurrentIndex(shown->index(r, 0));
  view.window()->activateWindow();  // the offscreen platform gives it back to no window after a menu
  QVERIFY(QTest::qWaitForWindowActive(view.window()));
  view.table()->setFocus();
}

void Key(QWidget* target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  QTest::keyClick(target, static_cast<Qt::Key>(key), modifiers);
}

void Scan(MainDialog& dialog) {
  QTRY_VERIFY(dialog.button()->isEnabled());
  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  VELK_SETTLE(dialog);
}

}  // namespace

class ResultsTest : public QObject {
  Q_OBJECT

 private slots:
  void aRowPerFileAsTheReportSaysIt();
  void actionsOnARow();
  void unchangedFilesOnDemand();
};

// Each kind of file, its row built from its report line; counts, the attention filter at the end, the
// sort; accessible names.
void ResultsTest::aRowPerFileAsTheReportSaysIt() {
  Scratch dir;
  Write(dir / "lib" / "whole.vlk", 2000, 1);  // 00:52
  Write(dir / "lib" / "b" / "broken.vlk", 40, 2, gen::DamageKind::Truncate);
  Write(dir / "lib" / "tagged.vlk", 1000, 3, {}, gen::TagKind::Id3v2);
  gen::WriteFile(dir / "lib" / "junk.vlk", gen::Bytes(64, 'x'));
  MainDialog dialog({ToText(S(dir / "lib")), ToText(S(dir / "missing.vlk")), ToText(S(dir / "nowhere"))});
  dialog.job().settings.idlePriority = false;
  dialog.choices()->brokenBox()->setCurrentIndex(Choices::kRepair);
  VELK_SHOW(dialog);
  Scan(dialog);
  const QString report = Report(dialog);
  const QString lib = S(dir / "lib");
  auto captured = [&](const QString& pattern) {
    const QRegularExpressionMatch match = QRegularExpression(pattern).match(report);
    return match.hasMatch() ? match.captured(1) : QString("<%1 not in the report>").arg(pattern);
  };
  const QRegularExpressionMatch broken =
      QRegularExpression("broken.vlk: broken after frame (\\d+)/(\\d+) \\(([0-9:]+)\\)").match(report);
  QVERIFY2(broken.hasMatch(), qPrintable(report));
  // folder, name, verdict, good, declared, play time, done: what the report says of each.
  auto E = [](const QString& text) { return QRegularExpression::escape(text); };
  const QStringList expected = {
      E(S(dir.path()) + "\tnowhere\tnot checked (no such file or folder)\t\t\t\t"),
      E(lib + "/b\tbroken.vlk\tbroken at " + broken.captured(3) + "\t" + broken.captured(1) + "\t" +
        broken.captured(2) + "\t" + broken.captured(3) + "\trepaired"),
      E(lib + "\tjunk.vlk\tunrecognized format (" + captured("junk.vlk: unrecognized format \\((\\d+)\\)") +
        ")\t\t\t\t"),
      E(lib + "\ttagged.vlk\twhole, tagged\t1000\t1000\t") + "[0-9]{2}:[0-9]{2}\t",
      E(S(dir.path()) + "\tmissing.vlk\topen failed\t\t\t\t"),
  };
  QVERIFY(report.contains("tagged.vlk: invalid Velk, contains ID3v2 tag!"));
  ResultsView& view = *dialog.results();
  // At the end only what needs attention.
  QCOMPARE(view.showBox()->currentIndex(), int(ResultsFilter::kAttention));
  const QStringList shown = Shown(view);
  QCOMPARE(shown.size(), expected.size());
  for (const QString& row : expected)
    QVERIFY2(!shown.filter(QRegularExpression("^" + row + "$")).isEmpty(),
             qPrintable(row + "\nnot in\n" + shown.join('\n')));
  QCOMPARE(view.countsLine()->text(),
           QString("6 files: 2 whole, 1 broken, 1 unrecognized, 1 open failed, 1 not checked, 1 tagged"));
  QCOMPARE(QAccessible::queryAccessibleInterface(view.countsLine())->text(QAccessible::Description),
           view.countsLine()->text());
  view.showBox()->setCurrentIndex(ResultsFilter::kChecked);
  QCOMPARE(Shown(view)
               .filter(QRegularExpression("^" + E(lib + "\twhole.vlk\twhole\t2000\t2000\t") + "[0-9:]+\t$"))
               .size(),
           1);
  const QStringList listOrder = Shown(view);
  // Each column sorts, both ways.
  struct Sort {
    int column;
    Qt::SortOrder order;
    QStringList names;  // the first rows, by name
  };
  const Sort sorts[] = {
      {ResultsModel::kName,
       Qt::AscendingOrder,
       {"broken.vlk", "junk.vlk", "missing.vlk", "nowhere", "tagged.vlk", "whole.vlk"}},
      {ResultsModel::kGood, Qt::DescendingOrder, {"whole.vlk", "tagged.vlk"}},
      {ResultsModel::kVerdict,
       Qt::AscendingOrder,
       {"tagged.vlk", "whole.vlk", "broken.vlk", "junk.vlk", "missing.vlk", "nowhere"}},
      {ResultsModel::kDone, Qt::DescendingOrder, {"broken.vlk"}},
  };
  for (const Sort& sort : sorts) {
    view.table()->sortByColumn(sort.column, sort.order);
    QStringList names;
    for (const QString& row : Shown(view).mid(0, sort.names.size())) names << row.section('\t', 1, 1);
    QCOMPARE(names, sort.names);
  }
  // By play time (an untimed row as none) the times run in order, both ways.
  for (const Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
    view.table()->sortByColumn(ResultsModel::kPlayTime, order);
    QStringList times;
    for (const QString& row : Shown(view)) {
      const QString time = row.section('\t', 5, 5);
      times << (time.isEmpty() ? QStringLiteral("00:00") : time);
    }
    QStringList ordered = times;
    std::sort(ordered.begin(), ordered.end());
    if (order == Qt::DescendingOrder) std::reverse(ordered.begin(), ordered.end());
    QCOMPARE(times, ordered);
  }
  // A third click on a header gives the list order back.
  QHeaderView* header = view.table()->horizontalHeader();
  view.table()->sortByColumn(ResultsModel::kName, Qt::AscendingOrder);
  QVERIFY(Shown(view) != listOrder);
  for (int click = 0; click < 2; ++click)
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(ResultsModel::kName) + 5, header->height() / 2));
  QCOMPARE(Shown(view), listOrder);
  // A right click on a row opens its menu; a double click on a whole row opens its folder.
  const QRect whole = view.table()->visualRect(
      view.table()->model()->index(listOrder.indexOf(QRegularExpression("^[^\t]*\twhole\\.vlk\t.*")), 0));
  QContextMenuEvent click(QContextMenuEvent::Mouse, whole.center(),
                          view.table()->viewport()->mapToGlobal(whole.center()));
  QCoreApplication::sendEvent(view.table()->viewport(), &click);
  QTRY_VERIFY(view.table()->findChild<QMenu*>("rowMenu"));
  view.table()->findChild<QMenu*>("rowMenu")->close();
  QTRY_VERIFY(!view.table()->findChild<QMenu*>("rowMenu"));
  UrlCatcher desktop;
  QDesktopServices::setUrlHandler("file", &desktop, "open");
  QTest::mouseClick(view.table()->viewport(), Qt::LeftButton, {}, whole.center());  // a double click's first
  QTest::mouseDClick(view.table()->viewport(), Qt::LeftButton, {}, whole.center());
  QDesktopServices::unsetUrlHandler("file");
  QCOMPARE(desktop.urls, QList<QUrl>{QUrl::fromLocalFile(lib)});
  // Narrowed columns leave their room to the last one, with no blank beside it.
  for (int column = 0; column < ResultsModel::kDone; ++column) header->resizeSection(column, 20);
  QTRY_COMPARE(
      header->sectionViewportPosition(ResultsModel::kDone) + header->sectionSize(ResultsModel::kDone),
      header->viewport()->width());
  for (QWidget* named :
       std::initializer_list<QWidget*>{view.table(), view.countsLine(), view.strip(), view.showBox()})
    QVERIFY2(!QAccessible::queryAccessibleInterface(named)->text(QAccessible::Name).isEmpty(),
             qPrintable(named->objectName()));
}

// Of a repair run: the menu by Shift+F10 and the Menu key, the path copied, the folder opened, check again,
// the repair undone to the original bytes. Of an only-reported run: the strip's stretches are velkscan-cli
// --map's, and the copy of the good frames is velkscan-cli --salvage's to the byte; held on its thread, an
// action leaves the window answering, says what goes on, starts no second action on the file nor a Scan.
void ResultsTest::actionsOnARow() {
  Scratch dir;
  const fs::path file = Write(dir / "lib" / "zeroed.vlk", 300, 7, gen::DamageKind::Zero);
  const QByteArray original = ReadAll(file);
  {
    MainDialog dialog({ToText(S(dir / "lib"))});
    dialog.job().settings.idlePriority = false;
    dialog.choices()->brokenBox()->setCurrentIndex(Choices::kRepair);
    VELK_SHOW(dialog);
    Scan(dialog);
    QVERIFY(ReadAll(file) != original);
    ResultsView& view = *dialog.results();
    Select(view, "zeroed.vlk");
    QVERIFY(view.undoAction()->isEnabled());  // made current, before any menu
    for (auto [key, modifiers] :
         {std::pair{Qt::Key_F10, Qt::ShiftModifier}, std::pair{Qt::Key_Menu, Qt::NoModifier}}) {
      Key(view.table(), key, modifiers);
      QMenu* menu = nullptr;
      QTRY_VERIFY((menu = view.table()->findChild<QMenu*>("rowMenu")) && menu->isVisible());
      QVERIFY(menu->actions().contains(view.undoAction()) && view.undoAction()->isEnabled());
      menu->close();
      QTRY_VERIFY(!view.table()->findChild<QMenu*>("rowMenu"));
    }
    view.table()->setCurrentIndex({});  // a menu of no row turns the path's actions off while it shows
    emit view.table()->customContextMenuRequested(view.table()->viewport()->rect().bottomLeft());
    QTRY_VERIFY(view.table()->findChild<QMenu*>("rowMenu") && !view.copyPathAction->isEnabled());
    view.table()->findChild<QMenu*>("rowMenu")->close();
    Select(view, "zeroed.vlk");
    Key(view.table(), Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), S(file));
    UrlCatcher desktop;
    QDesktopServices::setUrlHandler("file", &desktop, "open");
    Key(view.table(), Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
    QDesktopServices::unsetUrlHandler("file");
    QCOMPARE(desktop.urls, QList<QUrl>{QUrl::fromLocalFile(S(dir / "lib"))});
    // Repaired, the header claims the good frames only; undone, it is the file it was.
    const struct {
      int key;
      Qt::KeyboardModifiers modifiers;
      const char* verdict;
      const char* done;
    } steps[] = {{Qt::Key_F5, {}, "^whole \\(checked again\\)$", "^repaired$"},
                 {Qt::Key_Z, Qt::ControlModifier, "^whole \\(checked again\\)$", "^repair undone$"},
                 {Qt::Key_F5, {}, "^broken at [0-9:]+ \\(checked again\\)$", "^repair undone$"}};
    for (const auto& step : steps) {
      Key(view.table(), step.key, step.modifiers);
      const QRegularExpression row('\t' + QString(step.verdict).mid(1).chopped(1) + "(\t[^\t]*){3}\t" +
                                   QString(step.done).mid(1));
      QTRY_VERIFY2(row.match(Shown(view).filter("zeroed.vlk").value(0)).hasMatch(),
                   qPrintable(Shown(view).join('\n')));
    }
    QCOMPARE(ReadAll(file), original);
  }
  Program cli(VELKSCAN_CLI, {"--map", "--salvage", S(dir / "cli-copies"), S(dir / "lib")});
  QTRY_VERIFY_WITH_TIMEOUT(!cli.running(), 15000);
  const QString map = QString::fromUtf8(cli.output());
  std::counting_semaphore<> go(0);
  MainDialog dialog({ToText(S(dir / "lib"))});
  const auto unhold = qScopeGuard([&] { go.release(3); });  // should the test fail while it holds them
  dialog.job().settings.idlePriority = false;
  dialog.choices()->SetSalvageFolder(S(dir / "copies"));
  dialog.choices()->brokenBox()->setCurrentIndex(Choices::kReport);
  VELK_SHOW(dialog);
  Scan(dialog);
  ResultsView& view = *dialog.results();
  QCOMPARE(Shown(view).filter("zeroed.vlk").value(0).section('\t', 6, 6), QString("only reported"));
  Select(view, "zeroed.vlk");
  Key(view.table(), Qt::Key_M, Qt::ControlModifier);
  DamageStrip* strip = view.strip();
  QTRY_VERIFY(strip->isVisible());
  const DamageTrack& track = strip->track();
  QCOMPARE(track.stretches.size(), size_t(map.count("damaged: frames")));
  QVERIFY(!track.stretches.empty());
  const QString description = QAccessible::queryAccessibleInterface(strip)->text(QAccessible::Description);
  // Drawn green for the good frames, red for each damaged stretch.
  const QImage shown = strip->grab().toImage();
  int green = 0;
  for (int x = 0; x < shown.width(); ++x)
    green += shown.pixelColor(x, shown.height() / 2) == QColor(0x4c, 0xaf, 0x50);
  QVERIFY(green > 0);
  for (size_t i = 0; i < track.stretches.size(); ++i) {
    const QString stretch = track.Describe(track.stretches[i]);
    QVERIFY2(map.contains("damaged: " + stretch + ";"), qPrintable(stretch + "\n" + map));
    QVERIFY(description.contains(stretch));
    const QRect place = strip->StretchRect(int(i));
    QCOMPARE(shown.pixelColor(place.center()), QColor(0xd3, 0x2f, 0x2f));
    QHelpEvent hover(QEvent::ToolTip, place.center(), strip->mapToGlobal(place.center()));
    QCoreApplication::sendEvent(strip, &hover);
    QTRY_COMPARE(QToolTip::text(), "Damaged: " + stretch);
  }
  const int last = int(track.stretches.size()) - 1;  // a pixel beside it still shows it
  QVERIFY(strip->StretchAt(strip->StretchRect(last).right() + 1) == last &&
          strip->StretchAt(strip->StretchRect(last).right() + 2) < 0);
  Key(view.table(), Qt::Key_G, Qt::ControlModifier | Qt::ShiftModifier);
  QTRY_COMPARE(Shown(view).filter("zeroed.vlk").value(0).section('\t', 6, 6),
               "salvaged to " + S(dir / "copies" / "zeroed.vlk"));
  QCOMPARE(ReadAll(dir / "copies" / "zeroed.vlk"), ReadAll(dir / "cli-copies" / "zeroed.vlk"));
  QVERIFY(!ReadAll(dir / "copies" / "zeroed.vlk").isEmpty());
  view.work().atWork = [&](const std::atomic<bool>&) { go.acquire(); };
  Key(view.table(), Qt::Key_F5), Key(view.table(), Qt::Key_F5),
      Key(view.table(), Qt::Key_M, Qt::ControlModifier);
  QCOMPARE(view.workLine()->text(), QString("Checking zeroed.vlk again..."));
  QCOMPARE(view.table()->viewport()->cursor().shape(), Qt::BusyCursor);
  dialog.AddForwardedPaths({QByteArray::fromStdString((dir / "lib").string())});
  QTRY_VERIFY(dialog.button()->isEnabled());
  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  QCOMPARE(dialog.figuresLine()->text(), QString("Not scanning yet: Checking zeroed.vlk again..."));
  QString served;  // the row as a posted call finds it
  QTimer::singleShot(0, [&] { served = Shown(view).filter("zeroed.vlk").value(0), go.release(); });
  QTRY_VERIFY(Shown(view).filter("zeroed.vlk").value(0).contains("(checked again)"));
  QVERIFY2(!served.isEmpty() && !served.contains("(checked again)"), qPrintable(served));
  QVERIFY(view.workLine()->isHidden() && view.table()->viewport()->cursor().shape() != Qt::BusyCursor);
  // Closed while it makes a copy: stopped, nothing written, nothing taken in.
  view.work().atWork = [&](const std::atomic<bool>& running) { go.release(), running.wait(true); };
  dialog.choices()->SetSalvageFolder(S(dir / "later"));
  Select(view, "zeroed.vlk");
  Key(view.table(), Qt::Key_G, Qt::ControlModifier | Qt::ShiftModifier);
  go.acquire();
  dialog.close();
  QCoreApplication::processEvents();
  QVERIFY(!fs::exists(dir / "later"));
  QCOMPARE(Shown(view).filter("zeroed.vlk").value(0).section('\t', 6, 6),
           "salvaged to " + S(dir / "copies" / "zeroed.vlk"));
}

// Skipped as unchanged: counted, and listed only when asked.
void ResultsTest::unchangedFilesOnDemand() {
  Scratch dir;
  for (int i = 0; i < 3; ++i) Write(dir / "lib" / (std::to_string(i) + ".vlk"), 10, i + 1);
  MainDialog dialog({ToText(S(dir / "lib"))});
  dialog.job().settings.idlePriority = false;
  dialog.skipUnchangedBox()->setChecked(true);
  VELK_SHOW(dialog);
  Scan(dialog);
  dialog.AddForwardedPaths({QByteArray::fromStdString((dir / "lib").string())});
  Scan(dialog);
  dialog.skipUnchangedBox()->setChecked(false);
  ResultsView& view = *dialog.results();
  QVERIFY2(Report(dialog).endsWith("Scanned 3 files (3 unchanged), no errors found."),
           qPrintable(Report(dialog)));
  QCOMPARE(view.countsLine()->text(), QString("3 files: 3 unchanged (unchanged ones not listed)"));
  for (int show :
       {int(ResultsFilter::kAttention), int(ResultsFilter::kChecked), int(ResultsFilter::kEverything)}) {
    view.showBox()->setCurrentIndex(show);
    QCOMPARE(Shown(view).filter("\tunchanged since ").size(), show == ResultsFilter::kEverything ? 3 : 0);
  }
  QCOMPARE(view.countsLine()->text(), QString("3 files: 3 unchanged"));
}

QTEST_MAIN(ResultsTest)
#include "results_test.moc"
