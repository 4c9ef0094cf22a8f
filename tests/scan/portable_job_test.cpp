// A job over real files in the build's own character type: the same report
// and repairs on every platform (also the Windows builds under wine).
#include <gtest/gtest.h>

#include "scan/scanjob.h"
#include "scantest.h"

namespace velkscan {
namespace {

using test::Bytes;
using test::ToText;

TEST(PortableJob, ReportAndRepairsInEveryBuild) {
  test::ScratchDir dir;
  const Bytes broken = test::MakeBroken(7, 300, 120, 61).bytes;
  const Bytes good = test::MakeStream(6, 50, 62, gen::TagKind::Id3v2).bytes;
  test::WriteBytes(dir / "sub" / "tagged.VKQ", good);
  test::WriteBytes(dir / "sub" / "notes.txt", Bytes(4, 1));
  for (uint32_t checkers : {1u, 2u}) {
    test::WriteBytes(dir / "broken.vlk", broken);
    test::RecordingDisplay display;
    ScanJob job(display);
    job.checkers = checkers;
    job.AddPaths({ToText(dir / "broken.vlk"), ToText(dir / "sub"), ToText(dir / "missing.vqk")});
    ASSERT_EQ(job.fileCount(), 3u);
    ASSERT_TRUE(job.StartScan());
    job.WaitForWorker();
    EXPECT_EQ(display.report(),
              VTEXT("Scanning 3 files...\r\n----------\r\n") + ToText(dir / "broken.vlk") +
                  VTEXT(": broken after frame 120/300 (00:03)\r\n") + ToText(dir / "sub" / "tagged.VKQ") +
                  VTEXT(": invalid Velk, contains ID3v2 tag!\r\n") + ToText(dir / "missing.vqk") +
                  VTEXT(": file open failed.\r\n----------\r\nScanned 3 files, errors with 2.\r\n"))
        << checkers;
    Bytes repaired = broken;
    test::PutWordAt(repaired, 4, 120);
    EXPECT_EQ(test::ReadBytes(dir / "broken.vlk"), repaired);
    EXPECT_EQ(test::ReadBytes(dir / "sub" / "tagged.VKQ"), good);
  }
}

}  // namespace
}  // namespace velkscan
