// The window's display: what it records for the window to take, and when it asks the window to come.
#include "scan/display.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

namespace velkscan {
namespace {

struct Window : WindowDisplay {
  int requests = 0;
  bool refuse = false;
  bool RequestApply() override { return ++requests, !refuse; }
};

TEST(WindowDisplay, AsksOnceThenAgainOnlyForAnUrgentChangeOrAfterARefusal) {
  Window w;
  WindowDisplay::Changes first;
  // {change, requests after it, urgent waiting after it}
  const struct {
    std::function<void()> change;
    int requests;
    bool urgent;
  } steps[] = {
      {[&] { w.SetProgress(5); }, 1, false},          // the first change asks
      {[&] { w.SetProgress(6); }, 1, false},          // one on its way: no more
      {[&] { w.ShowMessage(VTEXT("m")); }, 2, true},  // an urgent one asks again, once
      {[&] { w.EnableButton(true); }, 2, true},
      {[&] { first = w.TakeChanges(); }, 2, false},
      {[&] { w.refuse = true, w.AcceptDrops(true); }, 3, true},  // refused: the next asks again
      {[&] { w.refuse = false, w.FocusButton(); }, 4, true},
      {[&] { w.SetButtonText(VTEXT("b")); }, 4, true},
  };
  for (const auto& step : steps) {
    step.change();
    EXPECT_EQ(w.requests, step.requests) << &step - steps;
    EXPECT_EQ(w.urgentWaiting(), step.urgent) << &step - steps;
  }
  EXPECT_TRUE(first.boxChanged && first.replaceBox && !first.boxIsReport && first.boxText == VTEXT("m"));
  EXPECT_TRUE(first.progress == 6u && first.buttonEnabled == true && first.figuresLine == "" &&
              !first.acceptDrops);
  const WindowDisplay::Changes c = w.TakeChanges();
  EXPECT_TRUE(!c.boxChanged && !c.progress && c.acceptDrops == true && c.focusButton &&
              c.buttonText == VTEXT("b"));
}

TEST(WindowDisplay, AReportIsAppendedToUntilANewOneReplacesIt) {
  Window w;
  // {report shown, then taken: replaces the box, the text}
  const std::tuple<const Char*, bool, const Char*> shown[] = {
      {VTEXT("ab"), true, VTEXT("ab")},  {VTEXT("abcd"), false, VTEXT("cd")},
      {VTEXT("abcd"), false, VTEXT("")}, {VTEXT("x"), true, VTEXT("x")},  // shorter: another report
      {nullptr, true, VTEXT("xyz")},  // after BeginReport, a new one whatever its length
  };
  w.BeginReport();
  for (const auto& [report, replaces, text] : shown) {
    if (report == nullptr) w.BeginReport();
    w.ShowReport(report != nullptr ? report : VTEXT("xyz"));
    const WindowDisplay::Changes c = w.TakeChanges();
    EXPECT_TRUE(c.boxChanged && c.boxIsReport);
    EXPECT_EQ(c.replaceBox, replaces);
    EXPECT_EQ(c.boxText, text);
  }
  w.ShowMessage(VTEXT("m"));  // a message in the box: the report comes back whole
  w.ShowReport(VTEXT("xyzw"));
  const WindowDisplay::Changes c = w.TakeChanges();
  EXPECT_TRUE(c.replaceBox && c.boxText == VTEXT("xyzw"));
}

}  // namespace
}  // namespace velkscan
