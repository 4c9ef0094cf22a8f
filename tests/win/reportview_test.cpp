// The report box on the real list view: rows as the text grows, the end followed only in
// view, rows drawn and selected by keys and clicks (clipboard, caret, many rows: e2e.sh).
#include "platform/win32/winapi.h"
// After windows.h, which they need.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <initializer_list>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/widetext.h"
#include "win32/reportview.h"
#include "win32/resource.h"

namespace velkscan {
namespace {

// The dialog template's box, with the main dialog's glue of the box.
INT_PTR CALLBACK BoxDialog(HWND dialog, UINT message, WPARAM, LPARAM lParam) {
  auto* view = reinterpret_cast<ReportView*>(GetWindowLongPtrW(dialog, DWLP_USER));
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    reinterpret_cast<ReportView*>(lParam)->Attach(GetDlgItem(dialog, IDC_REPORT));
    return TRUE;
  }
  LRESULT result = 0;
  if (view == nullptr || !view->OnParentMessage(message, lParam, result)) return FALSE;
  SetWindowLongPtrW(dialog, DWLP_MSGRESULT, result);
  return TRUE;
}

class ReportBox : public testing::Test {
 protected:
  void SetUp() override {
    const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                        ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    dialog_ = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_VELKSCAN), nullptr,
                                 BoxDialog, reinterpret_cast<LPARAM>(&view_));
    ASSERT_NE(dialog_, nullptr);
    box_ = GetDlgItem(dialog_, IDC_REPORT);
  }
  void TearDown() override { DestroyWindow(dialog_); }

  LRESULT Send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return SendMessageW(box_, message, wParam, lParam);
  }
  // What the box itself gives for its rows (through the dialog).
  std::vector<std::wstring> Rows() {
    std::vector<std::wstring> rows;
    for (LRESULT row = 0; row < Send(LVM_GETITEMCOUNT); ++row) {
      wchar_t text[4096] = L"";
      LVITEMW item{};
      item.pszText = text;
      item.cchTextMax = 4096;
      Send(LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
      rows.emplace_back(text);
    }
    return rows;
  }
  std::wstring WindowText() {
    std::wstring text(static_cast<std::size_t>(Send(WM_GETTEXTLENGTH)) + 1, L'\0');
    text.resize(
        static_cast<std::size_t>(Send(WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
    return text;
  }
  bool LastRowInView() { return Send(LVM_GETTOPINDEX) + Send(LVM_GETCOUNTPERPAGE) >= Send(LVM_GETITEMCOUNT); }
  // Serves the dialog's messages until none has come for a while (input comes from the server).
  void Serve() {
    MSG message;
    for (int quiet = 0; quiet < 5; Sleep(2))
      for (++quiet; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE); quiet = 0)
        if (!IsDialogMessageW(dialog_, &message)) DispatchMessageW(&message);
  }
  // Keyboard input: each key down in turn, then all up in reverse.
  void Press(const std::vector<WORD>& keys) {
    std::vector<INPUT> inputs(2 * keys.size());
    for (std::size_t i = 0, last = inputs.size() - 1; i < keys.size(); ++i) {
      inputs[i].type = inputs[last - i].type = INPUT_KEYBOARD;
      inputs[i].ki.wVk = inputs[last - i].ki.wVk = keys[i];
      inputs[last - i].ki.dwFlags = KEYEVENTF_KEYUP;
    }
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
    Serve();
  }
  void Click(int row, WPARAM modifiers) {
    RECT place{LVIR_BOUNDS, 0, 0, 0};
    Send(LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&place));
    const LPARAM point = MAKELPARAM(place.left + 5, (place.top + place.bottom) / 2);
    Send(WM_LBUTTONDOWN, MK_LBUTTON | modifiers, point);
    Send(WM_LBUTTONUP, modifiers, point);
  }
  void Focus() {
    ShowWindow(dialog_, SW_SHOW);
    SetForegroundWindow(dialog_);
    SetFocus(box_);
    Serve();
  }

  ReportView view_;
  HWND dialog_ = nullptr, box_ = nullptr;
};

TEST_F(ReportBox, RowsAreTheLinesOfTheTextAsItGrows) {
  const std::wstring wide(300, L'W'), accented = L"\u00E9t\u00E9 caf\u00E9.vlk: file open failed.";
  const std::tuple<bool, std::wstring, std::vector<std::wstring>> steps[] = {
      // replace or append
      {true,
       L"Drag and drop files/directories you want to scan...",
       {L"Drag and drop files/directories you want to scan..."}},
      {true, L"", {}},
      {false, L"", {}},
      {false, L"a.vlk: file open", {L"a.vlk: file open"}},
      {false, L" failed.\r", {L"a.vlk: file open failed."}},
      {false, L"\n" + wide, {L"a.vlk: file open failed.", wide}},
      {false, L"\r\n\r\n" + accented + L"\r\n", {L"a.vlk: file open failed.", wide, L"", accented}},
      {true, L"x\r\ny", {L"x", L"y"}},
  };
  std::wstring shown;
  for (const auto& [replace, text, rows] : steps) {
    shown = replace ? text : shown + text;
    replace ? view_.SetText(WideToText(text)) : view_.Append(WideToText(text));
    EXPECT_EQ(Rows(), rows) << shown;
    EXPECT_EQ(WindowText(), shown);
    // No row is cut: the box's column is as wide as the system measures each.
    for (const std::wstring& row : rows)
      EXPECT_GE(Send(LVM_GETCOLUMNWIDTH), Send(LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(row.c_str())))
          << row;
  }
  // A new text fits its own rows, not those before.
  EXPECT_LT(Send(LVM_GETCOLUMNWIDTH), Send(LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(wide.c_str())));
}

TEST_F(ReportBox, FollowsTheEndOnlyWhileItIsInView) {
  const auto append = [&](int rows) {
    for (int i = 0; i < rows; ++i) view_.Append(VTEXT("C:\\music\\a.vlk: file open failed.\r\n"));
  };
  view_.SetText(VTEXT(""));
  append(200);
  EXPECT_TRUE(LastRowInView());
  // Scrolled up by the user: it stays where it was.
  Send(LVM_ENSUREVISIBLE, 0, FALSE);
  append(50);
  EXPECT_EQ(Send(LVM_GETTOPINDEX), 0);
  // Back at the end: it follows again.
  Send(LVM_ENSUREVISIBLE, static_cast<WPARAM>(Send(LVM_GETITEMCOUNT) - 1), FALSE);
  append(50);
  EXPECT_TRUE(LastRowInView());
}

TEST_F(ReportBox, OnlyTheSelectedRowIsDrawnHighlighted) {
  view_.SetText(VTEXT("WWWWWWWW\r\nWWWWWWWW\r\n"));
  Focus();
  view_.Select(1, 1);
  RedrawWindow(box_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
  // How many pixels of a row's place are (or are not) of the colour.
  const auto count = [&](int row, COLORREF colour, bool equal) {
    RECT place{LVIR_BOUNDS, 0, 0, 0};
    Send(LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&place));
    HDC dc = GetDC(box_);
    int pixels = 0;
    for (int y = place.top; y < place.bottom; ++y)
      for (int x = place.left; x < place.right; ++x) pixels += (GetPixel(dc, x, y) == colour) == equal;
    ReleaseDC(box_, dc);
    return pixels;
  };
  const COLORREF window = GetSysColor(COLOR_WINDOW), highlight = GetSysColor(COLOR_HIGHLIGHT);
  EXPECT_GT(count(0, window, false), 20);  // the text
  EXPECT_EQ(count(0, highlight, true), 0);
  // Selected: the text on the highlight, which fills the rest of the row.
  EXPECT_GT(count(1, highlight, false), 20);
  EXPECT_GT(count(1, highlight, true), count(1, highlight, false));
}

// Clicks (with Ctrl or Shift) and keys select as in a list, the caret's row in view; a new text selects none.
TEST_F(ReportBox, SelectsAsAListDoes) {
  Text text;
  for (int row = 0; row < 100; ++row) text += WideToText(L"r" + std::to_wstring(row) + L"\r\n");
  view_.SetText(text);
  Focus();
  const int page = static_cast<int>(Send(LVM_GETCOUNTPERPAGE));
  ASSERT_GT(page, 2);
  const auto rows = [](std::initializer_list<std::pair<int, int>> ranges) {
    std::wstring selected;
    for (auto [first, last] : ranges)
      for (int row = first; row <= last; ++row) selected += L"r" + std::to_wstring(row) + L"\r\n";
    return selected;
  };
  const struct {
    int click;
    WPARAM modifiers;
    std::vector<WORD> keys;
    std::wstring selected;
  } steps[] = {
      {1, 0, {}, rows({{1, 1}})},
      {3, MK_CONTROL, {}, rows({{1, 1}, {3, 3}})},
      {2, MK_CONTROL, {}, rows({{1, 3}})},
      {2, MK_CONTROL, {}, rows({{1, 1}, {3, 3}})},
      {5, MK_SHIFT, {}, rows({{2, 5}})},
      {-1, 0, {VK_CONTROL, 'A'}, rows({{0, 99}})},
      {-1, 0, {VK_NEXT}, rows({{page - 1, page - 1}})},
      {-1, 0, {VK_NEXT}, rows({{2 * page - 2, 2 * page - 2}})},
      {-1, 0, {VK_SHIFT, VK_END}, rows({{2 * page - 2, 99}})},
      {-1, 0, {VK_DOWN}, rows({{99, 99}})},
      {-1, 0, {VK_HOME}, rows({{0, 0}})},
      {-1, 0, {VK_CONTROL, VK_DOWN}, rows({{0, 0}})},
      {-1, 0, {VK_CONTROL, VK_DOWN}, rows({{0, 0}})},
      {-1, 0, {VK_CONTROL, VK_SPACE}, rows({{0, 0}, {2, 2}})},
      {-1, 0, {VK_SHIFT, VK_UP}, rows({{1, 2}})},
      {-1, 0, {VK_PRIOR}, rows({{0, 0}})},
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    steps[i].click >= 0 ? Click(steps[i].click, steps[i].modifiers) : Press(steps[i].keys);
    EXPECT_EQ(view_.SelectedText(), steps[i].selected) << "step " << i;
  }
  Press({VK_END});
  EXPECT_TRUE(LastRowInView());
  // A new text has nothing selected, and with no row selected every row is copied.
  view_.SetText(VTEXT("e\r\nf\r\n"));
  EXPECT_EQ(view_.SelectedText(), L"e\r\nf\r\n");
}

}  // namespace
}  // namespace velkscan
