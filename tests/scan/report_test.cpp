// Report texts: the formatter, first line and summary with their plural,
// the time of play, the queued count and the progress percentage.
#include "scan/report.h"

#include <gtest/gtest.h>

namespace velkscan {
namespace {

TEST(ReportFormat, ConversionsAsWsprintf) {
  EXPECT_EQ(FormatText(VTEXT("%s: %u"), {VTEXT("path"), 7u}), VTEXT("path: 7"));
  EXPECT_EQ(FormatText(VTEXT("(%u)"), {0xFFFFFFFFu}), VTEXT("(4294967295)"));
  EXPECT_EQ(FormatText(VTEXT("%02u|%02u|%02u"), {0u, 5u, 123u}), VTEXT("00|05|123"));
  EXPECT_EQ(FormatText(VTEXT("100%% %s"), {Text(VTEXT("done"))}), VTEXT("100% done"));
  // A missing or mismatched argument inserts nothing.
  EXPECT_EQ(FormatText(VTEXT("[%s][%u]"), {5u}), VTEXT("[][]"));
}

TEST(ReportText, FirstLineAndSummaryTakeThePluralUnlessOne) {
  ReportBuffer report;
  report.StartReport(1);
  EXPECT_EQ(report.text, VTEXT("Scanning 1 file...\r\n"));
  report.StartReport(0);
  EXPECT_EQ(report.text, VTEXT("Scanning 0 files...\r\n"));
  report.StartReport(3);
  report.AppendSummary(3, 1);
  EXPECT_EQ(report.text, VTEXT("Scanning 3 files...\r\n----------\r\nScanned 3 files, errors with 1.\r\n"));
  report.StartReport(1);
  report.AppendSummary(1, 0);
  EXPECT_EQ(report.text, VTEXT("Scanning 1 file...\r\n----------\r\nScanned 1 file, no errors found.\r\n"));
}

TEST(ReportText, LinesAsTheJobWritesThem) {
  ReportBuffer report;
  report.StartReport(2);
  report.AppendReport(kOpenFailedLine, {VTEXT("a.vlk")});
  report.AppendReport(kUnrecognizedLine, {VTEXT("b.vlk"), static_cast<uint32_t>(-1)});
  report.AppendReport(kSeparatorLine, {});
  report.AppendReport(kId3Line, {VTEXT("c.vlk")});
  report.AppendReport(kBrokenLine, {VTEXT("c.vlk"), 1200u, 5400u, PlayTimeText(1200, 44100)});
  EXPECT_EQ(report.text, VTEXT("Scanning 2 files...\r\n"
                               "a.vlk: file open failed.\r\n"
                               "b.vlk: unrecognized format (4294967295).\r\n"
                               "----------\r\n"
                               "c.vlk: invalid Velk, contains ID3v2 tag!\r\n"
                               "c.vlk: broken after frame 1200/5400 (00:31)\r\n"));
}

TEST(ReportText, GrowsPastItsReservationForLongPaths) {
  ReportBuffer report;
  report.Allocate(1);
  report.StartReport(1);
  const Text path(5000, VTEXT('p'));
  report.AppendReport(kId3Line, {path});
  report.AppendReport(kBrokenLine, {path, 1u, 2u, VTEXT("00:00")});
  const Text id3Tail = VTEXT(": invalid Velk, contains ID3v2 tag!\r\n");
  const Text brokenTail = VTEXT(": broken after frame 1/2 (00:00)\r\n");
  EXPECT_EQ(report.text, VTEXT("Scanning 1 file...\r\n") + path + id3Tail + path + brokenTail);
}

TEST(ReportTime, MinutesAndSecondsUnderAnHourAllThreeFieldsAbove) {
  EXPECT_EQ(FormatTime(0, 0, 31), VTEXT("00:31"));
  EXPECT_EQ(FormatTime(0, 59, 59), VTEXT("59:59"));
  EXPECT_EQ(FormatTime(1, 0, 0), VTEXT("01:00:00"));
  EXPECT_EQ(FormatTime(123, 4, 5), VTEXT("123:04:05"));
}

TEST(ReportTime, PlayTimeOfGoodFrames) {
  EXPECT_EQ(PlaySeconds(1200, 44100), 31u);  // 1,382,400 samples
  EXPECT_EQ(PlayTimeText(0, 44100), VTEXT("00:00"));
  EXPECT_EQ(PlayTimeText(150000, 48000), VTEXT("01:00:00"));  // exactly 3600 s
  EXPECT_EQ(PlayTimeText(149999, 48000), VTEXT("59:59"));
  EXPECT_EQ(PlayTimeText(100, 0), VTEXT("00:00"));  // no finite quotient
  EXPECT_EQ(PlaySeconds(0, 0), 0u);
  // The sample count is a 32-bit product: 4,000,000 x 1152 wraps to
  // 313,032,704 samples, 7098 s at 44100 Hz.
  EXPECT_EQ(PlaySeconds(4000000, 44100), 7098u);
  EXPECT_EQ(PlayTimeText(4000000, 44100), VTEXT("01:58:18"));
}

TEST(ReportQueued, CountWithPlural) {
  EXPECT_EQ(QueuedCountText(1), VTEXT("1 file waiting for scanning..."));
  EXPECT_EQ(QueuedCountText(0), VTEXT("0 files waiting for scanning..."));
  EXPECT_EQ(QueuedCountText(12), VTEXT("12 files waiting for scanning..."));
}

TEST(ReportProgress, PercentInSixtyFourBits) {
  EXPECT_EQ(ProgressPercent(0, 1000), 0u);
  EXPECT_EQ(ProgressPercent(999, 1000), 99u);
  EXPECT_EQ(ProgressPercent(1500, 1000), 150u);  // files that grew; the bar clamps
  EXPECT_EQ(ProgressPercent(uint64_t{5} << 40, uint64_t{10} << 40), 50u);
}

}  // namespace
}  // namespace velkscan
