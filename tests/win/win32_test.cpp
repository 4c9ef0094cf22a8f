// The Windows layer, under wine in both builds on real files: names from wide to the build's
// characters (never a best-fit look-alike) in the walk, command line and drops; the icon.
#include "platform/win32/winapi.h"
// After windows.h, which they need.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/directory.h"
#include "platform/win32/widetext.h"
#include "scan/filelist.h"
#include "scan/scanjob.h"
#include "stream/testfiles.h"
#include "support/fakedisplay.h"
#include "support/streams.h"
#include "win32/maindialog.h"
#include "win32/resource.h"
#include "win32/startup.h"

namespace velkscan {
namespace {

using test::Bytes;
using test::ScratchDir;

constexpr bool kNarrow = sizeof(Char) == 1;
// "łódź" holds two letters that code page 1252 lacks; best fit would make
// it "lódz". "café" is in the code page.
const std::wstring kLodz = L"\u0142\u00F3d\u017A", kLodzLookAlike = L"l\u00F3dz", kCafe = L"caf\u00E9";

#define SKIP_UNLESS_1252() \
  if (kNarrow && GetACP() != 1252) GTEST_SKIP() << "code page " << GetACP()

std::wstring Wide(const std::filesystem::path& path) {
  return path.lexically_normal().make_preferred().wstring();
}
void Write(const std::wstring& path, const Bytes& bytes) {
  test::WriteBytes(std::filesystem::path(path), bytes);
}
Bytes Read(const std::wstring& path) {
  return test::ReadBytes(std::filesystem::path(path));
}

// Frame 40 of 100 fails: a scan that opens it rewrites its header.
Bytes Broken(uint64_t seed) {
  return test::MakeBroken(7, 100, 40, seed).bytes;
}

// Scans whatever was added; returns the report.
Text Scan(const std::function<void(ScanJob&)>& add) {
  test::RecordingDisplay display;
  ScanJob job(display, test::kNormal);
  add(job);
  EXPECT_TRUE(job.StartScan());
  job.WaitForWorker();
  return display.report();
}

bool Has(const Text& text, const Text& part) {
  return text.find(part) != Text::npos;
}

// A drop of wide paths, as the shell hands one over.
HDROP MakeDrop(const std::wstring& zeroSeparated) {
  HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + (zeroSeparated.size() + 2) * sizeof(wchar_t));
  auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
  drop->pFiles = sizeof(DROPFILES);
  drop->fWide = TRUE;
  std::memcpy(reinterpret_cast<char*>(drop) + sizeof(DROPFILES), zeroSeparated.data(),
              zeroSeparated.size() * sizeof(wchar_t));
  GlobalUnlock(memory);
  return static_cast<HDROP>(memory);
}

TEST(WideNames, WhatTheCodePageLacksBecomesAQuestionMarkNeverALookAlike) {
  SKIP_UNLESS_1252();
  const std::tuple<std::wstring, bool, std::wstring> cases[] = {
      {L"C:\\Music\\01 Track.vlk", true, L"C:\\Music\\01 Track.vlk"},
      {kCafe + L".vlk", true, kCafe + L".vlk"},
      {L"D:\\" + kLodz + L".vlk", false, L"D:\\?\u00F3d?.vlk"},
      {L"a\U0001F600b.vlk", false, L"a?b.vlk"},
      {L"\u65E5\u672C.vlk", false, L"??.vlk"},
      {std::wstring(L"x") + wchar_t(0xD800) + L".vlk", false, L"x?.vlk"}};
  for (const auto& [in, inCodePage, narrow] : cases) {
    Text out;
    EXPECT_EQ(WideToText(in, out), !kNarrow || inCodePage);  // wide: every name is its own text
    EXPECT_EQ(TextToWide(out), kNarrow ? narrow : in);
  }
}

// Narrow: a file open failure under the '?' name (also below a folder whose own name did not convert), the
// file untouched and its look-alike never opened. Wide: repaired.
TEST(CodePage, ANameItLacksIsReportedNeverOpenedAsALookAlike) {
  SKIP_UNLESS_1252();
  ScratchDir dir("win_");
  const std::wstring walk = Wide(dir.path() / "walk"),
                     named = Wide(dir.path() / "named") + L"\\" + kLodz + L".vlk";
  const std::wstring lookAlike = Wide(dir.path() / "named") + L"\\" + kLodzLookAlike + L".vlk";
  const Bytes lodz = Broken(71), inner = Broken(72), other = Broken(73);
  Write(walk + L"\\" + kLodz + L"\\deeper\\inner.vlk", inner);
  Write(walk + L"\\" + kLodz + L"\\notes.txt", Bytes(3, 'x'));
  Write(walk + L"\\" + kCafe + L".vlk", test::MakeStream(7, 30, 74).bytes);
  Write(lookAlike, other);
  // The file in a walked folder, named on the command line, dropped.
  const std::vector<std::function<void(ScanJob&)>> ways = {
      [&](ScanJob& job) { job.AddCommandLine(WideToText(L"\"" + walk + L"\" \"" + named + L"\"")); },
      [&](ScanJob& job) { job.AddCommandLine(WideToText(L"x.exe \"" + named + L"\""), true); },
      [&](ScanJob& job) { job.AddPaths(TakeDroppedPaths(MakeDrop(named))); }};
  for (const auto& way : ways) {
    Write(named, lodz);
    const Text report = Scan(way);
    EXPECT_TRUE(Has(report, kNarrow ? Text(VTEXT("?\xF3"
                                                 "d?.vlk: file open failed.\r\n"))
                                    : WideToText(kLodz + L".vlk: broken after frame 40/100")))
        << TextToWide(report);
    EXPECT_EQ(Read(named) == lodz, kNarrow);
    EXPECT_FALSE(Has(report, WideToText(kCafe)));
  }
  EXPECT_EQ(Read(walk + L"\\" + kLodz + L"\\deeper\\inner.vlk") == inner, kNarrow);
  EXPECT_EQ(Read(lookAlike), other);  // never touched
}

// "?" matches "a" in a search pattern; the walk must not take it so.
TEST(CodePage, AQuestionMarkInAFolderNameMatchesNoOtherFolder) {
  ScratchDir dir("win_");
  Write(Wide(dir.path() / "a" / "one.vlk"), test::MakeStream(7, 5, 75).bytes);
  std::vector<DirectoryEntry> entries;
  EXPECT_FALSE(ListDirectory(WideToText(Wide(dir.path()) + L"\\?"), entries));
  EXPECT_TRUE(entries.empty());
}

// A path longer than a drop buffer's 260 characters comes whole, for the list to refuse.
TEST(Drops, EveryPathComesWhole) {
  const std::wstring longPath = L"C:\\" + std::wstring(300, L'a') + L".vlk";
  const std::vector<Text> dropped =
      TakeDroppedPaths(MakeDrop(L"C:\\one.vlk" + std::wstring(1, L'\0') + longPath));
  ASSERT_EQ(dropped.size(), 2u);
  EXPECT_EQ(dropped[0], Text(VTEXT("C:\\one.vlk")));
  EXPECT_EQ(TextToWide(dropped[1]), longPath);
}

TEST(CommandLine, ASecondStartForwardsEveryNameAbsoluteInQuotes) {
  ScratchDir dir("win_");
  ASSERT_TRUE(SetCurrentDirectoryW(Wide(dir.path()).c_str()));
  const Text base = WideToText(Wide(dir.path())), parent = WideToText(Wide(dir.path().parent_path()));
  // Relative names from this folder; empty arguments left out; the program
  // name skipped; the window's list takes the names back one by one.
  const Text forwarded = AbsoluteCommandLine(
      VTEXT("\"C:\\x y\\VelkscanU.exe\" t.vlk  \"sub dir\\a b.vlk\" ..\\up.vkq C:\\abs.vlk"));
  EXPECT_EQ(forwarded, VTEXT("\"") + base + VTEXT("\\t.vlk\" \"") + base + VTEXT("\\sub dir\\a b.vlk\" \"") +
                           parent + VTEXT("\\up.vkq\" \"C:\\abs.vlk\""));
  const std::vector<TextView> names = CommandLineArguments(forwarded, false);
  ASSERT_EQ(names.size(), 4u);
  EXPECT_EQ(names[1], base + VTEXT("\\sub dir\\a b.vlk"));
  EXPECT_EQ(AbsoluteCommandLine(VTEXT("VelkscanU.exe")), Text());
  ASSERT_TRUE(SetCurrentDirectoryW(Wide(dir.path().parent_path()).c_str()));
}

// A second start's names: a missing one with a Velk extension is listed; one without, and one the code page
// lacks without one, are noted not checked, in order (during a scan the job keeps them: the report's table).
TEST(CommandLine, EveryForwardedNameIsListedOrNotedForTheReport) {
  SKIP_UNLESS_1252();
  ScratchDir dir("win_");
  const std::wstring base = Wide(dir.path()) + L"\\", lodz = base + kLodz,
                     line = L"\"" + base + L"sent.vkq\" \"" + base + L"nothere\" \"" + lodz + L"\"";
  Write(lodz + L"\\notes.txt", Bytes(3, 'x'));
  MainDialog dialog;
  HWND window = dialog.Create(GetModuleHandleW(nullptr));
  ASSERT_NE(window, nullptr);
  COPYDATASTRUCT data{kForwardedWideCommandLine, static_cast<DWORD>((line.size() + 1) * sizeof(wchar_t)),
                      const_cast<wchar_t*>(line.c_str())};
  SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
  std::wstring noted;
  for (const NotCheckedPath& path : dialog.job().files().notChecked)
    noted += TextToWide(path.path) + L": " + TextToWide(NotCheckedReasonText(path.reason)) + L"\n";
  EXPECT_EQ(dialog.job().fileCount(), 1u);
  EXPECT_EQ(noted,
            base + L"nothere: no such file or folder\n" +
                (kNarrow ? TextToWide(WideToText(lodz)) + L": its name is not in this program's code page\n"
                         : L""));
  DestroyWindow(window);
}

TEST(Resources, TheProgramIconIsThere) {
  EXPECT_NE(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_VELKSCAN)), nullptr);
}

}  // namespace
}  // namespace velkscan
