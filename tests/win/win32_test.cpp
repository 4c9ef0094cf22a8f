// The Windows layer of the programs: names from wide to the build's
// characters (never a best-fit look-alike), the directory walk, drops, the
// command line and the forwarded record, dialog template 101. Run under
// wine in both builds; files are real files on disk.
#include "platform/win32/winapi.h"
// After windows.h, which they need.
#include <commctrl.h>
#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/directory.h"
#include "platform/win32/widetext.h"
#include "scan/scanjob.h"
#include "support/streams.h"
#include "win32/resource.h"
#include "win32/startup.h"

namespace velkscan {
namespace {

using test::Bytes;
using test::ScratchDir;

constexpr bool kNarrow = sizeof(Char) == 1;

// The tests' names outside ASCII, as UTF-16. "łódź" holds two letters that
// code page 1252 lacks, and Windows' best fit maps it to "lódz".
const std::wstring kLodz = L"\u0142\u00F3d\u017A";  // łódź
const std::wstring kLodzLookAlike = L"l\u00F3dz";   // lódz
const std::wstring kCafe = L"caf\u00E9";            // café, in code page 1252

bool CodePage1252() {
  return GetACP() == 1252;
}

void WriteFileW(const std::wstring& path, const Bytes& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot create a test file";
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  ASSERT_EQ(written, bytes.size());
}

Bytes ReadFileW(const std::wstring& path) {
  Bytes bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  bytes.resize(GetFileSize(file, nullptr));
  DWORD read = 0;
  ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  CloseHandle(file);
  bytes.resize(read);
  return bytes;
}

// A broken stream: frame 40 of 100 fails, so a scan that opens the file
// rewrites its header.
Bytes BrokenStream(uint64_t seed) {
  gen::GeneratedStream stream = test::MakeStream(7, 100, seed);
  test::BreakFrame(stream, 40);
  return stream.bytes;
}

Bytes Repaired(Bytes bytes) {
  test::PutWordAt(bytes, 4, 40);
  return bytes;
}

std::wstring Wide(const std::filesystem::path& path) {
  return path.lexically_normal().make_preferred().wstring();
}

class QuietDisplay : public ScanDisplay {
 public:
  void ShowReport(TextView report) override { report_ = Text(report); }
  void ShowMessage(TextView) override {}
  void SetProgress(uint32_t) override {}
  void SetButtonText(TextView) override {}
  void EnableButton(bool) override {}
  void AcceptDrops(bool) override {}
  const Text& report() const { return report_; }

 private:
  Text report_;
};

// Scans what the list holds; returns the report.
Text Scan(ScanJob& job, QuietDisplay& display) {
  EXPECT_TRUE(job.StartScan());
  job.WaitForWorker();
  return display.report();
}

bool Contains(const Text& text, const Text& part) {
  return text.find(part) != Text::npos;
}

// --- Names from wide to the build's characters ---

TEST(WideNames, ConvertUnchangedWhenTheCodePageHoldsThem) {
  Text out;
  EXPECT_TRUE(WideToText(L"C:\\Music\\01 Track.vlk", out));
  EXPECT_EQ(out, VTEXT("C:\\Music\\01 Track.vlk"));
  EXPECT_TRUE(WideToText(L"", out));
  EXPECT_EQ(out, Text());
  if (kNarrow && !CodePage1252()) GTEST_SKIP() << "code page " << GetACP();
  EXPECT_TRUE(WideToText(kCafe + L".vlk", out));
  EXPECT_EQ(TextToWide(out), kCafe + L".vlk");
  EXPECT_EQ(out, Text(VTEXT("caf\xE9.vlk")));
}

TEST(WideNames, WhatTheCodePageLacksBecomesAQuestionMarkNeverALookAlike) {
  Text out;
  const bool exact = WideToText(L"D:\\" + kLodz + L".vlk", out);
  if constexpr (!kNarrow) {
    EXPECT_TRUE(exact);
    EXPECT_EQ(TextToWide(out), L"D:\\" + kLodz + L".vlk");
    return;
  }
  if (!CodePage1252()) GTEST_SKIP() << "code page " << GetACP();
  EXPECT_FALSE(exact);
  // ó is in the code page and stays; ł and ź are not and become '?'.
  EXPECT_EQ(TextToWide(out), L"D:\\?\u00F3d?.vlk");
  EXPECT_NE(TextToWide(out), L"D:\\" + kLodzLookAlike + L".vlk");
  // A character beyond the basic plane (a surrogate pair) is one '?'; CJK
  // letters too.
  EXPECT_FALSE(WideToText(L"a\U0001F600b.vlk", out));
  EXPECT_EQ(out, Text(VTEXT("a?b.vlk")));
  EXPECT_FALSE(WideToText(L"\u65E5\u672C.vlk", out));
  EXPECT_EQ(out, Text(VTEXT("??.vlk")));
  // A lone surrogate converts to nothing at all.
  EXPECT_FALSE(WideToText(std::wstring(L"x") + wchar_t(0xD800) + L".vlk", out));
  EXPECT_EQ(out, Text(VTEXT("x?.vlk")));
}

// --- The directory walk and the scan of what it finds ---

TEST(WalkAndScan, NamesOutsideTheCodePageAreReportedAndNeverOpened) {
  if (kNarrow && !CodePage1252()) GTEST_SKIP() << "code page " << GetACP();
  ScratchDir dir("win_");
  const std::wstring root = Wide(dir.path());
  const Bytes lodz = BrokenStream(71);
  const Bytes inner = BrokenStream(72);
  const Bytes cafe = test::MakeStream(7, 30, 73).bytes;
  WriteFileW(root + L"\\" + kLodz + L".vlk", lodz);
  ASSERT_TRUE(CreateDirectoryW((root + L"\\" + kLodz).c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((root + L"\\" + kLodz + L"\\deeper").c_str(), nullptr));
  WriteFileW(root + L"\\" + kLodz + L"\\deeper\\inner.vlk", inner);
  WriteFileW(root + L"\\" + kLodz + L"\\notes.txt", Bytes(3, 'x'));
  WriteFileW(root + L"\\" + kCafe + L".vlk", cafe);

  QuietDisplay display;
  ScanJob job(display);
  job.AddCommandLine(WideToText(L"\"" + root + L"\""), false);
  ASSERT_EQ(job.fileCount(), 3u);
  const Text report = Scan(job, display);
  const Text base = WideToText(root);
  EXPECT_TRUE(Contains(report, VTEXT("Scanned 3 files, errors with 2.\r\n"))) << TextToWide(report);
  if constexpr (kNarrow) {
    // Each name that did not convert is a file that could not be opened,
    // also below a directory whose own name did not convert; the files
    // themselves are untouched.
    EXPECT_TRUE(Contains(report, base + VTEXT("\\?\xF3"
                                              "d?.vlk: file open failed.\r\n")))
        << TextToWide(report);
    EXPECT_TRUE(Contains(report, base + VTEXT("\\?\xF3"
                                              "d?\\deeper\\inner.vlk: file open failed.\r\n")))
        << TextToWide(report);
    EXPECT_EQ(ReadFileW(root + L"\\" + kLodz + L".vlk"), lodz);
    EXPECT_EQ(ReadFileW(root + L"\\" + kLodz + L"\\deeper\\inner.vlk"), inner);
  } else {
    EXPECT_TRUE(Contains(report, WideToText(root + L"\\" + kLodz + L".vlk: broken after frame 40/100")))
        << TextToWide(report);
    EXPECT_EQ(ReadFileW(root + L"\\" + kLodz + L".vlk"), Repaired(lodz));
    EXPECT_EQ(ReadFileW(root + L"\\" + kLodz + L"\\deeper\\inner.vlk"), Repaired(inner));
  }
  // café converts exactly in both builds: found, opened and whole.
  EXPECT_FALSE(Contains(report, WideToText(root + L"\\" + kCafe)));
  EXPECT_EQ(ReadFileW(root + L"\\" + kCafe + L".vlk"), cafe);
}

TEST(WalkAndScan, ADirectoryNamedWithAWildcardIsNotSearched) {
  ScratchDir dir("win_");
  test::WriteBytes(dir / "a" / "one.vlk", test::MakeStream(7, 5, 74).bytes);
  std::vector<DirectoryEntry> entries;
  // "?" matches "a" in a search pattern; the walk must not take it so.
  EXPECT_FALSE(ListDirectory(WideToText(Wide(dir.path()) + L"\\?"), entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_TRUE(ListDirectory(WideToText(Wide(dir.path()) + L"\\a"), entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, Text(VTEXT("one.vlk")));
}

// --- The command line and drops ---

TEST(CommandLineAndDrops, ALookAlikeFileIsNeverOpenedUnderAnotherName) {
  if (kNarrow && !CodePage1252()) GTEST_SKIP() << "code page " << GetACP();
  ScratchDir dir("win_");
  const std::wstring root = Wide(dir.path());
  const std::wstring named = root + L"\\" + kLodz + L".vlk";
  const std::wstring lookAlike = root + L"\\" + kLodzLookAlike + L".vlk";
  const Bytes namedBytes = BrokenStream(75);
  const Bytes lookAlikeBytes = BrokenStream(76);
  WriteFileW(named, namedBytes);
  WriteFileW(lookAlike, lookAlikeBytes);

  // The same name by the command line (the process's own, program name
  // left out) and by a drop.
  HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + (named.size() + 2) * sizeof(wchar_t));
  ASSERT_NE(memory, nullptr);
  auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
  drop->pFiles = sizeof(DROPFILES);
  drop->fWide = TRUE;
  std::memcpy(reinterpret_cast<char*>(drop) + sizeof(DROPFILES), named.c_str(),
              named.size() * sizeof(wchar_t));
  GlobalUnlock(memory);
  const std::vector<Text> dropped = TakeDroppedPaths(static_cast<HDROP>(memory));
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(TextToWide(dropped[0]), kNarrow ? root + L"\\?\u00F3d?.vlk" : named);

  for (int way = 0; way < 2; ++way) {
    QuietDisplay display;
    ScanJob job(display);
    if (way == 0) {
      job.AddCommandLine(WideToText(L"\"C:\\x\\VelkscanA.exe\" \"" + named + L"\""), true);
    } else {
      job.AddPaths(dropped);
    }
    ASSERT_EQ(job.fileCount(), 1u) << way;
    const Text report = Scan(job, display);
    if constexpr (kNarrow) {
      EXPECT_EQ(report, Text(VTEXT("Scanning 1 file...\r\n")) + dropped[0] +
                            VTEXT(": file open failed.\r\n----------\r\nScanned 1 file, errors with 1.\r\n"));
      EXPECT_EQ(ReadFileW(named), namedBytes);
    } else {
      EXPECT_TRUE(Contains(report, WideToText(named) + VTEXT(": broken after frame 40/100"))) << way;
      EXPECT_EQ(ReadFileW(named), Repaired(namedBytes));
      WriteFileW(named, namedBytes);
    }
    // The look-alike is never touched.
    EXPECT_EQ(ReadFileW(lookAlike), lookAlikeBytes) << way;
  }
}

TEST(CommandLineAndDrops, ADropGivesEveryPathWhole) {
  // A path longer than the 260 characters of a drop buffer comes whole, so
  // that the list can refuse it rather than take it cut short.
  const std::wstring longPath = L"C:\\" + std::wstring(300, L'a') + L".vlk";
  const std::wstring paths = L"C:\\one.vlk" + std::wstring(1, L'\0') + longPath + std::wstring(2, L'\0');
  HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + paths.size() * sizeof(wchar_t));
  ASSERT_NE(memory, nullptr);
  auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
  drop->pFiles = sizeof(DROPFILES);
  drop->fWide = TRUE;
  std::memcpy(reinterpret_cast<char*>(drop) + sizeof(DROPFILES), paths.data(),
              paths.size() * sizeof(wchar_t));
  GlobalUnlock(memory);
  const std::vector<Text> dropped = TakeDroppedPaths(static_cast<HDROP>(memory));
  ASSERT_EQ(dropped.size(), 2u);
  EXPECT_EQ(dropped[0], Text(VTEXT("C:\\one.vlk")));
  EXPECT_EQ(TextToWide(dropped[1]), longPath);
}

TEST(CommandLineAndDrops, TheProgramNameIsSkippedAsASecondStartForwardsIt) {
  auto skip = [](const Char* line) { return Text(SkipProgramName(line)); };
  EXPECT_EQ(skip(VTEXT("VelkscanU.exe a.vlk b.vlk")), VTEXT("a.vlk b.vlk"));
  // A quoted name with spaces is skipped whole; the text keeps its quotes.
  EXPECT_EQ(skip(VTEXT("\"C:\\Program Files\\Velkscan\\VelkscanU.exe\" \"C:\\x y\\a.vlk\"")),
            VTEXT("\"C:\\x y\\a.vlk\""));
  // After a quoted name one space is skipped, after a plain one the space
  // that ends it and one more; further ones stay (empty arguments).
  EXPECT_EQ(skip(VTEXT("\"Velkscan.exe\"   a.vlk")), VTEXT("  a.vlk"));
  EXPECT_EQ(skip(VTEXT("Velkscan.exe   a.vlk")), VTEXT(" a.vlk"));
  EXPECT_EQ(skip(VTEXT("\"Velkscan.exe\"a.vlk")), VTEXT("a.vlk"));
  // A tab ends no name: the whole line goes, program name included.
  EXPECT_EQ(skip(VTEXT("Velkscan.exe\ta.vlk")), VTEXT("Velkscan.exe\ta.vlk"));
  // Nothing after the name, or a quote never closed: the whole line.
  EXPECT_EQ(skip(VTEXT("Velkscan.exe ")), VTEXT("Velkscan.exe "));
  EXPECT_EQ(skip(VTEXT("\"C:\\a b\\Velkscan.exe")), VTEXT("\"C:\\a b\\Velkscan.exe"));
}

TEST(CommandLineAndDrops, TheForwardedRecordIsTakenOnlyFromNoWindowAndWithData) {
  const Char text[] = VTEXT("a.vlk \"b c.vlk\"");
  COPYDATASTRUCT data{1, sizeof(text), const_cast<Char*>(text)};
  TextView taken;
  ASSERT_TRUE(ForwardedText(0, &data, taken));
  EXPECT_EQ(taken, TextView(VTEXT("a.vlk \"b c.vlk\"")));
  // From a window, or without data: ignored.
  EXPECT_FALSE(ForwardedText(reinterpret_cast<WPARAM>(GetDesktopWindow()), &data, taken));
  COPYDATASTRUCT empty{1, 0, const_cast<Char*>(text)};
  EXPECT_FALSE(ForwardedText(0, &empty, taken));
  // dwData is not looked at.
  COPYDATASTRUCT other{7, sizeof(text), const_cast<Char*>(text)};
  EXPECT_TRUE(ForwardedText(0, &other, taken));
  // Never read beyond cbData, terminator or not: here the first 5
  // characters, and an odd byte count drops the half character.
  COPYDATASTRUCT cut{1, static_cast<DWORD>(5 * sizeof(Char) + (kNarrow ? 0 : 1)), const_cast<Char*>(text)};
  ASSERT_TRUE(ForwardedText(0, &cut, taken));
  EXPECT_EQ(taken, TextView(VTEXT("a.vlk")));
}

// --- Dialog template 101 ---

// Reads the template as the resource compiler wrote it.
class TemplateReader {
 public:
  explicit TemplateReader(const uint8_t* start) : start_(start), at_(start) {}

  uint32_t Dword() {
    uint32_t value;
    std::memcpy(&value, at_, 4);
    at_ += 4;
    return value;
  }
  uint16_t Word() {
    uint16_t value;
    std::memcpy(&value, at_, 2);
    at_ += 2;
    return value;
  }
  int16_t Short() { return static_cast<int16_t>(Word()); }
  // A string, or "#n" for an ordinal (0xFFFF, n), or "" for none (0).
  std::wstring SzOrOrdinal() {
    const uint16_t first = Word();
    if (first == 0xFFFF) return L"#" + std::to_wstring(Word());
    std::wstring text;
    for (uint16_t c = first; c != 0; c = Word()) text += static_cast<wchar_t>(c);
    return text;
  }
  void AlignDword() {
    while ((at_ - start_) % 4 != 0) ++at_;
  }

 private:
  const uint8_t* start_;
  const uint8_t* at_;
};

struct TemplateItem {
  uint32_t style;
  int16_t x, y, cx, cy;
  uint16_t id;
  std::wstring className;
  std::wstring text;
};

TEST(DialogTemplate, Template101IsAsTabled) {
  HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(IDD_VELKSCAN), MAKEINTRESOURCEW(5));  // RT_DIALOG
  ASSERT_NE(resource, nullptr);
  const auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(nullptr, resource)));
  ASSERT_NE(bytes, nullptr);
  TemplateReader reader(bytes);
  const uint32_t style = reader.Dword();
  EXPECT_EQ(style, static_cast<uint32_t>(DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU |
                                         WS_MINIMIZEBOX));
  EXPECT_EQ(style & WS_VISIBLE, 0u) << "not visible until shown";
  EXPECT_EQ(reader.Dword(), 0u);  // extended styles
  const uint16_t count = reader.Word();
  ASSERT_EQ(count, 3);
  EXPECT_EQ(reader.Short(), 0);
  EXPECT_EQ(reader.Short(), 0);
  EXPECT_EQ(reader.Short(), 212);
  EXPECT_EQ(reader.Short(), 114);
  EXPECT_EQ(reader.SzOrOrdinal(), L"");  // no menu
  EXPECT_EQ(reader.SzOrOrdinal(), L"");  // the dialog class
  EXPECT_EQ(reader.SzOrOrdinal(), L"Velkscan");
  EXPECT_EQ(reader.Word(), 8);
  EXPECT_EQ(reader.SzOrOrdinal(), L"MS Sans Serif");

  std::vector<TemplateItem> items;
  for (uint16_t i = 0; i < count; ++i) {
    reader.AlignDword();
    TemplateItem item;
    item.style = reader.Dword();
    EXPECT_EQ(reader.Dword(), 0u);  // extended styles
    item.x = reader.Short();
    item.y = reader.Short();
    item.cx = reader.Short();
    item.cy = reader.Short();
    item.id = reader.Word();
    item.className = reader.SzOrOrdinal();
    item.text = reader.SzOrOrdinal();
    const uint16_t extra = reader.Word();
    EXPECT_EQ(extra, 0);
    items.push_back(item);
  }
  constexpr uint32_t kChild = WS_CHILD | WS_VISIBLE;
  // The button (predefined class 0x80), the edit box (0x81), the progress bar.
  EXPECT_EQ(items[0].id, IDC_SCAN);
  EXPECT_EQ(items[0].className, L"#128");
  EXPECT_EQ(items[0].text, L"Scan");
  EXPECT_EQ(items[0].style, kChild | BS_DEFPUSHBUTTON | WS_TABSTOP);
  EXPECT_EQ((std::vector<int>{items[0].x, items[0].y, items[0].cx, items[0].cy}),
            (std::vector<int>{155, 93, 50, 14}));
  EXPECT_EQ(items[1].id, IDC_REPORT);
  EXPECT_EQ(items[1].className, L"#129");
  EXPECT_EQ(items[1].text, L"");
  EXPECT_EQ(items[1].style, kChild | ES_MULTILINE | ES_READONLY | WS_VSCROLL | WS_BORDER | WS_TABSTOP);
  EXPECT_EQ((std::vector<int>{items[1].x, items[1].y, items[1].cx, items[1].cy}),
            (std::vector<int>{7, 7, 198, 85}));
  EXPECT_EQ(items[2].id, IDC_PROGRESS);
  // Class names are not case-sensitive (the resource compiler writes it in
  // capitals).
  EXPECT_EQ(_wcsicmp(items[2].className.c_str(), PROGRESS_CLASSW), 0) << items[2].className;
  EXPECT_EQ(items[2].text, L"Progress1");
  EXPECT_EQ(items[2].style, kChild | PBS_SMOOTH | WS_BORDER);
  EXPECT_EQ((std::vector<int>{items[2].x, items[2].y, items[2].cx, items[2].cy}),
            (std::vector<int>{7, 93, 146, 14}));
}

TEST(DialogTemplate, TheProgramIconIsThere) {
  HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_VELKSCAN));
  EXPECT_NE(icon, nullptr);
}

}  // namespace
}  // namespace velkscan
