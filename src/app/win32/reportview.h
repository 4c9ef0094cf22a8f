// The report box: a list view that holds no rows of its own (LVS_OWNERDATA)
// and draws the rows it shows from one text and an index of where each row
// begins. Appending a line costs an index entry, however long the report
// already is. (An edit box lays its whole text out again as it grows: a
// report of 100,000 lines cost it seconds of the window's time per second.)
//
// For the user: the box scrolls both ways and follows the end while its
// last row is in view; rows can be selected (click, Shift and Ctrl with a
// click or the keys, Ctrl+A) and copied (Ctrl+C; everything when no row is
// selected). Its window text, for screen readers and other programs, is the
// whole text as shown.
//
// The selection is kept here as ranges of rows, not by the list view: the
// list view changes (and repaints, and announces) one row at a time, so
// selecting 100,000 rows, or clearing them with the next key, cost it
// seconds. Here a change costs the rows in view. The row with the caret
// (the keyboard's place, 0 at first) shows a focus frame while the box has
// the focus.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "platform/text.h"
#include "platform/win32/winapi.h"
// After windows.h, which it needs.
#include <commctrl.h>

namespace velkscan {

class ReportView {
 public:
  ReportView() = default;
  ~ReportView();
  ReportView(const ReportView&) = delete;
  ReportView& operator=(const ReportView&) = delete;

  // Takes over `box`, a list view with LVS_REPORT, LVS_OWNERDATA and
  // LVS_OWNERDRAWFIXED whose font is set.
  void Attach(HWND box);

  // The box shows `text` instead of what it showed, from its first row.
  void SetText(TextView text);
  // `text` continues the last row and adds rows after it.
  void Append(TextView text);

  // A message the box sent its parent (WM_NOTIFY, WM_DRAWITEM), passed on
  // by the parent: true when handled, with the answer in `result`.
  bool OnParentMessage(UINT message, LPARAM lParam, LRESULT& result);

  // The selected rows (every row when none is), each ending in "\r\n".
  std::wstring SelectedText() const;
  // Rows first to last (in either order) become the selection, the caret
  // goes to `last` and is brought into view.
  void Select(std::size_t first, std::size_t last);
  bool IsSelected(std::size_t row) const;
  std::size_t caret() const { return caret_; }
  // Puts SelectedText on the clipboard. False when the clipboard would not
  // take it.
  bool CopySelection() const;

  const Text& text() const { return text_; }
  std::size_t rowCount() const { return rowStarts_.size(); }
  // The row's text without its line end.
  TextView Row(std::size_t row) const;

 private:
  bool OnNotify(NMHDR& header, LRESULT& result);
  void Draw(const DRAWITEMSTRUCT& item);
  static LRESULT CALLBACK BoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam);
  // Input the box would otherwise select by (see the class comment): true
  // when handled here.
  bool OnKey(WPARAM key);
  void OnClick(LPARAM point, bool toggle, bool extend);
  // The caret moves to `row`: with extend, the rows from the anchor to it
  // are selected; with keep, the selection stays; otherwise the row alone.
  void MoveCaret(std::size_t row, bool extend, bool keep);
  void Toggle(std::size_t row);
  void ClearSelection();
  // Indexes the rows that begin in text_ at or after `from`.
  void IndexFrom(std::size_t from);
  // Widens the column for the rows from `firstRow` on (changed or new).
  void FitColumn(std::size_t firstRow);
  int RowWidth(HDC dc, std::size_t row) const;
  const std::wstring& WideRow(std::size_t row) const;
  bool LastRowInView() const;

  HWND box_ = nullptr;
  WNDPROC boxProc_ = nullptr;  // the list view's own procedure
  Text text_;
  std::vector<std::size_t> rowStarts_;  // where in text_ each row begins
  int columnWidth_ = 0;
  std::array<int, 0x7F - 0x20> asciiWidths_{};  // ' ' to '~' in the box's font
  mutable std::wstring rowBuffer_;              // a row the box asked for, until it asks again
  // Selected rows: sorted, disjoint ranges of first and last row.
  std::vector<std::pair<std::size_t, std::size_t>> selection_;
  std::size_t caret_ = 0;
  std::size_t anchor_ = 0;  // where Shift extends the selection from
};

}  // namespace velkscan
