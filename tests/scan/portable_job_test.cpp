// A job over real files in the build's own character type: the same report
// and repairs on every platform (also the Windows builds under wine).
#include <gtest/gtest.h>

#include "scan/scanjob.h"
#include "scantest.h"

namespace velkscan {
namespace {

using test::Bytes;
using test::ScratchDir;
using test::ToText;

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

TEST(PortableJob, ReportAndRepairsInEveryBuild) {
  ScratchDir dir;
  gen::GeneratedStream broken = test::MakeStream(7, 300, 61);
  test::BreakFrame(broken, 120);
  const Bytes good = test::MakeStream(6, 50, 62, gen::TagKind::Id3v2).bytes;
  test::WriteBytes(dir / "broken.vlk", broken.bytes);
  test::WriteBytes(dir / "sub" / "tagged.VKQ", good);
  test::WriteBytes(dir / "sub" / "notes.txt", Bytes(4, 1));

  for (uint32_t checkers : {1u, 2u}) {
    test::WriteBytes(dir / "broken.vlk", broken.bytes);
    QuietDisplay display;
    ScanJob job(display);
    job.checkers = checkers;
    job.AddDroppedPaths({ToText(dir / "broken.vlk"), ToText(dir / "sub"), ToText(dir / "missing.vqk")});
    ASSERT_EQ(job.fileList.count(), 3u);
    ASSERT_TRUE(job.StartScan());
    job.ReleaseWorker();
    const Text expected = Text(VTEXT("Scanning 3 files...\r\n----------\r\n")) + ToText(dir / "broken.vlk") +
                          VTEXT(": broken after frame 120/300 (00:03)\r\n") +
                          ToText(dir / "sub" / "tagged.VKQ") +
                          VTEXT(": invalid Velk, contains ID3v2 tag!\r\n") + ToText(dir / "missing.vqk") +
                          VTEXT(": file open failed.\r\n----------\r\nScanned 3 files, errors with 2.\r\n");
    EXPECT_EQ(display.report(), expected) << checkers;
    Bytes repaired = broken.bytes;
    test::PutWordAt(repaired, 4, 120);
    EXPECT_EQ(test::ReadBytes(dir / "broken.vlk"), repaired);
    EXPECT_EQ(test::ReadBytes(dir / "sub" / "tagged.VKQ"), good);
  }
}

}  // namespace
}  // namespace velkscan
