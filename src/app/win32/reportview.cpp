#include "win32/reportview.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <type_traits>

#include "platform/win32/widetext.h"

namespace velkscan {

namespace {

// Room left and right of a row's text, in pixels.
constexpr int kMargin = 3;

HFONT FontOf(HWND box) {
  return reinterpret_cast<HFONT>(SendMessageW(box, WM_GETFONT, 0, 0));
}

// A device context of the box with its font selected.
class BoxDC {
 public:
  explicit BoxDC(HWND box) : box_(box), dc_(GetDC(box)), old_(SelectObject(dc_, FontOf(box))) {}
  ~BoxDC() {
    SelectObject(dc_, old_);
    ReleaseDC(box_, dc_);
  }
  BoxDC(const BoxDC&) = delete;
  BoxDC& operator=(const BoxDC&) = delete;
  HDC get() const { return dc_; }

 private:
  HWND box_;
  HDC dc_;
  HGDIOBJ old_;
};

}  // namespace

ReportView::~ReportView() {
  if (box_ != nullptr && IsWindow(box_)) {
    SetWindowLongPtrW(box_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(boxProc_));
    SetWindowLongPtrW(box_, GWLP_USERDATA, 0);
  }
}

void ReportView::Attach(HWND box) {
  box_ = box;
  SetWindowLongPtrW(box, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  boxProc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(box, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ReportView::BoxProc)));
  LVCOLUMNW column{};
  column.mask = LVCF_WIDTH;
  SendMessageW(box, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
  BoxDC dc(box);
  GetCharWidth32W(dc.get(), 0x20, 0x7E, asciiWidths_.data());
}

LRESULT CALLBACK ReportView::BoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* view = reinterpret_cast<ReportView*>(GetWindowLongPtrW(box, GWLP_USERDATA));
  // Nothing may unwind through the system's code: without the memory, the
  // message is left undone.
  try {
    switch (message) {
      case WM_GETTEXTLENGTH:
      case WM_GETTEXT: {
        // The box's window text is the report, as an edit box's would be.
        const std::wstring text = TextToWide(view->text_);
        if (message == WM_GETTEXTLENGTH) return static_cast<LRESULT>(text.size());
        if (wParam == 0) return 0;
        const std::size_t count = std::min<std::size_t>(text.size(), wParam - 1);
        auto* out = reinterpret_cast<wchar_t*>(lParam);
        std::memcpy(out, text.data(), count * sizeof(wchar_t));
        out[count] = L'\0';
        return static_cast<LRESULT>(count);
      }
      case WM_KEYDOWN:
        if (view->OnKey(wParam)) return 0;
        break;
      case WM_LBUTTONDOWN:
      case WM_LBUTTONDBLCLK:
      case WM_RBUTTONDOWN:
      case WM_RBUTTONDBLCLK:
        // Not passed on: the list view would select by itself.
        SetFocus(box);
        if (message == WM_LBUTTONDOWN || message == WM_LBUTTONDBLCLK)
          view->OnClick(lParam, (wParam & MK_CONTROL) != 0, (wParam & MK_SHIFT) != 0);
        return 0;
      case WM_SETFOCUS:
      case WM_KILLFOCUS: {
        // The selection's colour and the caret's frame follow the focus.
        const LRESULT result = CallWindowProcW(view->boxProc_, box, message, wParam, lParam);
        InvalidateRect(box, nullptr, FALSE);
        return result;
      }
      default:
        break;
    }
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return CallWindowProcW(view->boxProc_, box, message, wParam, lParam);
}

bool ReportView::OnKey(WPARAM key) {
  const bool control = GetKeyState(VK_CONTROL) < 0, shift = GetKeyState(VK_SHIFT) < 0;
  if (control && key == 'A') {
    if (rowCount() > 0) selection_.assign(1, {0, rowCount() - 1});
    InvalidateRect(box_, nullptr, FALSE);
    return true;
  }
  if (control && key == 'C') {
    CopySelection();
    return true;
  }
  if (key == VK_LEFT || key == VK_RIGHT) {
    SendMessageW(box_, WM_HSCROLL, key == VK_LEFT ? SB_LINELEFT : SB_LINERIGHT, 0);
    return true;
  }
  const bool moves = key == VK_UP || key == VK_DOWN || key == VK_PRIOR || key == VK_NEXT || key == VK_HOME ||
                     key == VK_END || key == VK_SPACE;
  if (!moves || rowCount() == 0) return moves;
  const auto top = static_cast<std::size_t>(SendMessageW(box_, LVM_GETTOPINDEX, 0, 0));
  const auto page =
      std::max<std::size_t>(1, static_cast<std::size_t>(SendMessageW(box_, LVM_GETCOUNTPERPAGE, 0, 0)));
  const std::size_t last = rowCount() - 1;
  std::size_t row = caret_;
  switch (key) {
    case VK_UP:
      row = caret_ > 0 ? caret_ - 1 : 0;
      break;
    case VK_DOWN:
      row = caret_ + 1;
      break;
    case VK_PRIOR:
      // To the top of the page; from there a page further.
      row = caret_ > top ? top : caret_ > page - 1 ? caret_ - (page - 1) : 0;
      break;
    case VK_NEXT:
      row = caret_ < top + page - 1 ? top + page - 1 : caret_ + page - 1;
      break;
    case VK_HOME:
      row = 0;
      break;
    case VK_END:
      row = last;
      break;
    case VK_SPACE:
      if (control) {
        Toggle(caret_);
        return true;
      }
      break;
  }
  MoveCaret(std::min(row, last), shift, control);
  return true;
}

void ReportView::OnClick(LPARAM point, bool toggle, bool extend) {
  const int y = static_cast<short>(HIWORD(point));
  const auto top = static_cast<std::size_t>(SendMessageW(box_, LVM_GETTOPINDEX, 0, 0));
  RECT first{LVIR_BOUNDS, 0, 0, 0};
  if (top >= rowCount() || !SendMessageW(box_, LVM_GETITEMRECT, top, reinterpret_cast<LPARAM>(&first)) ||
      y < first.top) {
    return;
  }
  const std::size_t row =
      top + static_cast<std::size_t>((y - first.top) / std::max(1L, first.bottom - first.top));
  if (row >= rowCount()) {
    // Below the last row: nothing is selected.
    if (!toggle && !extend) ClearSelection();
    return;
  }
  if (toggle && !extend) {
    caret_ = anchor_ = row;
    Toggle(row);
    return;
  }
  MoveCaret(row, extend, false);
}

void ReportView::MoveCaret(std::size_t row, bool extend, bool keep) {
  caret_ = row;
  if (extend) {
    selection_.assign(1, {std::min(anchor_, row), std::max(anchor_, row)});
  } else {
    anchor_ = row;
    if (!keep) selection_.assign(1, {row, row});
  }
  SendMessageW(box_, LVM_ENSUREVISIBLE, row, FALSE);
  InvalidateRect(box_, nullptr, FALSE);
}

void ReportView::Select(std::size_t first, std::size_t last) {
  anchor_ = first;
  MoveCaret(last, true, false);
}

bool ReportView::IsSelected(std::size_t row) const {
  auto after = std::upper_bound(selection_.begin(), selection_.end(), row,
                                [](std::size_t r, const auto& range) { return r < range.first; });
  return after != selection_.begin() && std::prev(after)->second >= row;
}

void ReportView::Toggle(std::size_t row) {
  auto after = std::upper_bound(selection_.begin(), selection_.end(), row,
                                [](std::size_t r, const auto& range) { return r < range.first; });
  if (after != selection_.begin() && std::prev(after)->second >= row) {
    // Cut out of its range.
    auto range = std::prev(after);
    const auto [first, last] = *range;
    range = selection_.erase(range);
    if (row < last) range = selection_.insert(range, {row + 1, last});
    if (first < row) selection_.insert(range, {first, row - 1});
  } else {
    // Joined to its neighbours where it touches them.
    auto range = selection_.insert(after, {row, row});
    if (std::next(range) != selection_.end() && std::next(range)->first == row + 1) {
      range->second = std::next(range)->second;
      selection_.erase(std::next(range));
    }
    if (range != selection_.begin() && std::prev(range)->second + 1 == row) {
      std::prev(range)->second = range->second;
      selection_.erase(range);
    }
  }
  InvalidateRect(box_, nullptr, FALSE);
}

void ReportView::ClearSelection() {
  selection_.clear();
  InvalidateRect(box_, nullptr, FALSE);
}

void ReportView::SetText(TextView text) {
  text_.assign(text);
  rowStarts_.clear();
  selection_.clear();
  caret_ = anchor_ = 0;
  IndexFrom(0);
  columnWidth_ = 0;
  FitColumn(0);
  SendMessageW(box_, LVM_SETITEMCOUNT, rowCount(), 0);
  if (rowCount() > 0) SendMessageW(box_, LVM_ENSUREVISIBLE, 0, FALSE);
}

void ReportView::Append(TextView text) {
  if (text.empty()) return;
  const bool follow = LastRowInView();
  const std::size_t oldRows = rowCount();
  // The last row goes on when it has no line end yet.
  const bool lastGoesOn = !text_.empty() && text_.back() != VTEXT('\n');
  const std::size_t from = text_.size();
  text_.append(text);
  IndexFrom(from);
  FitColumn(lastGoesOn ? oldRows - 1 : oldRows);
  SendMessageW(box_, LVM_SETITEMCOUNT, rowCount(), LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
  if (lastGoesOn) SendMessageW(box_, LVM_REDRAWITEMS, oldRows - 1, oldRows - 1);
  if (follow) SendMessageW(box_, LVM_ENSUREVISIBLE, rowCount() - 1, FALSE);
}

void ReportView::IndexFrom(std::size_t from) {
  if (text_.size() == from) return;
  if (from == 0) rowStarts_.push_back(0);
  // A row begins after every line end that has text after it.
  for (std::size_t p = from == 0 ? 0 : from - 1;
       (p = text_.find(VTEXT('\n'), p)) != Text::npos && p + 1 < text_.size(); ++p) {
    rowStarts_.push_back(p + 1);
  }
}

void ReportView::FitColumn(std::size_t firstRow) {
  if (firstRow >= rowCount() && columnWidth_ > 0) return;
  int widest = 0;
  {
    BoxDC dc(box_);
    for (std::size_t row = firstRow; row < rowCount(); ++row)
      widest = std::max(widest, RowWidth(dc.get(), row));
  }
  const int width = widest + 2 * kMargin;
  if (width <= columnWidth_) return;
  columnWidth_ = width;
  SendMessageW(box_, LVM_SETCOLUMNWIDTH, 0, MAKELPARAM(width, 0));
}

int ReportView::RowWidth(HDC dc, std::size_t row) const {
  // Most rows are plain ASCII: their width is a sum from the table, which
  // costs nothing beside asking the system for each of 100,000 rows.
  int width = 0;
  for (const Char c : Row(row)) {
    const auto code = static_cast<std::make_unsigned_t<Char>>(c);
    if (code < 0x20 || code > 0x7E) {
      const std::wstring& wide = WideRow(row);
      SIZE size{};
      GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
      return size.cx;
    }
    width += asciiWidths_[code - 0x20];
  }
  return width;
}

TextView ReportView::Row(std::size_t row) const {
  const std::size_t begin = rowStarts_[row];
  const std::size_t end = row + 1 < rowStarts_.size() ? rowStarts_[row + 1] : text_.size();
  TextView view(text_.data() + begin, end - begin);
  if (!view.empty() && view.back() == VTEXT('\n')) view.remove_suffix(1);
  if (!view.empty() && view.back() == VTEXT('\r')) view.remove_suffix(1);
  return view;
}

const std::wstring& ReportView::WideRow(std::size_t row) const {
  rowBuffer_ = TextToWide(Row(row));
  return rowBuffer_;
}

bool ReportView::LastRowInView() const {
  if (rowCount() == 0) return true;
  const auto top = static_cast<std::size_t>(SendMessageW(box_, LVM_GETTOPINDEX, 0, 0));
  const auto perPage = static_cast<std::size_t>(SendMessageW(box_, LVM_GETCOUNTPERPAGE, 0, 0));
  return top + perPage >= rowCount();
}

bool ReportView::OnParentMessage(UINT message, LPARAM lParam, LRESULT& result) {
  if (message == WM_DRAWITEM) {
    const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
    if (item.hwndItem == box_) Draw(item);
    return item.hwndItem == box_;
  }
  auto& header = *reinterpret_cast<NMHDR*>(lParam);
  return message == WM_NOTIFY && header.hwndFrom == box_ && OnNotify(header, result);
}

bool ReportView::OnNotify(NMHDR& header, LRESULT& result) {
  switch (header.code) {
    case LVN_GETDISPINFOW: {
      // Asked for by the box's own searches and by LVM_GETITEMTEXT.
      LVITEMW& item = reinterpret_cast<NMLVDISPINFOW&>(header).item;
      if ((item.mask & LVIF_TEXT) != 0 && item.iItem >= 0 &&
          static_cast<std::size_t>(item.iItem) < rowCount())
        item.pszText = const_cast<wchar_t*>(WideRow(static_cast<std::size_t>(item.iItem)).c_str());
      return true;
    }
    case LVN_ODFINDITEMW:
      // Typing a letter does not jump to a row.
      result = -1;
      return true;
    default:
      return false;
  }
}

void ReportView::Draw(const DRAWITEMSTRUCT& item) {
  if (item.itemID >= rowCount()) return;
  const bool selected = IsSelected(item.itemID);
  const bool focused = GetFocus() == box_;
  const int back = !selected ? COLOR_WINDOW : focused ? COLOR_HIGHLIGHT : COLOR_BTNFACE;
  FillRect(item.hDC, &item.rcItem, GetSysColorBrush(back));
  SetBkMode(item.hDC, TRANSPARENT);
  SetTextColor(item.hDC, GetSysColor(selected && focused ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
  const HGDIOBJ old = SelectObject(item.hDC, FontOf(box_));
  const std::wstring& row = WideRow(item.itemID);
  RECT text = item.rcItem;
  text.left += kMargin;
  DrawTextW(item.hDC, row.c_str(), static_cast<int>(row.size()), &text,
            DT_SINGLELINE | DT_NOPREFIX | DT_VCENTER);
  SelectObject(item.hDC, old);
  // The caret's frame: where the keys act, also before any row was
  // selected (the focus came by Tab).
  if (focused && item.itemID == caret_) DrawFocusRect(item.hDC, &item.rcItem);
}

std::wstring ReportView::SelectedText() const {
  std::wstring text;
  const auto add = [&](std::size_t row) {
    text += TextToWide(Row(row));
    text += L"\r\n";
  };
  if (selection_.empty()) {
    for (std::size_t row = 0; row < rowCount(); ++row) add(row);
    return text;
  }
  for (const auto& [first, last] : selection_) {
    for (std::size_t row = first; row <= last && row < rowCount(); ++row) add(row);
  }
  return text;
}

bool ReportView::CopySelection() const {
  const std::wstring text = SelectedText();
  if (!OpenClipboard(box_)) return false;
  EmptyClipboard();
  bool done = false;
  if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t))) {
    if (void* data = GlobalLock(memory)) {
      std::memcpy(data, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
      GlobalUnlock(memory);
      done = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
    }
    // The clipboard owns it only once it took it.
    if (!done) GlobalFree(memory);
  }
  CloseClipboard();
  return done;
}

}  // namespace velkscan
