// Where the report log goes and how it is opened.
#include <gtest/gtest.h>

#include <QFile>

#include "ReportLogFile.h"
#include "TestSupport.h"

namespace quillon::ui::testing {
namespace {

TEST(ReportLogPathTest, ReplacesOrAppendsTheExtension) {
  const struct {
    const char* executable;
    const char* log;
  } cases[] = {
      {"C:\\Tools\\nodes.exe", "C:\\Tools\\nodes.log"},
      {"C:\\Tools\\nodes", "C:\\Tools\\nodes.log"},
      {"C:\\my.tools\\nodes", "C:\\my.tools\\nodes.log"},
      {"/opt/my.tools/quillon", "/opt/my.tools/quillon.log"},
      {"/usr/bin/quillon", "/usr/bin/quillon.log"},
      {"/opt/quillon.bin", "/opt/quillon.log"},
      {"C:nodes.tar.gz", "C:nodes.tar.log"},
      {"A.B:nodes", "A.B:nodes.log"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReportLogPath(c.executable), c.log) << c.executable;
  }
}

TEST(ReportLogFileTest, EndsEveryLineWithCrLf) {
  QTemporaryDir dir;
  const std::string path = dir.filePath("r.log").toStdString();
  ReportLogFile log;
  ASSERT_TRUE(log.Open(path));
  log.Write("one\ntwo");
  log.EndLine();
  log.Write("three");
  log.Close();
  EXPECT_EQ(ReadFile(path), "one\r\ntwo\r\nthree");
  EXPECT_EQ(QFile::permissions(QString::fromStdString(path)) & QFileDevice::WriteOther, 0);
}

TEST_F(WindowTest, EveryStartTruncatesTheLastReport) {
  WriteFile(LogPath(), "an earlier run\r\n");
  Make();
  EXPECT_TRUE(form->ReportLogOpen());
  EXPECT_EQ(form->ReportLogFileName(), LogPath());
  EXPECT_EQ(ReadFile(LogPath()), "");
}

TEST_F(WindowTest, ALinkInPlaceOfTheLogIsNotFollowed) {
  const std::string target = dir.filePath("precious.txt").toStdString();
  WriteFile(target, "keep me");
  ASSERT_TRUE(QFile::link(QString::fromStdString(target), QString::fromStdString(LogPath())));
  Make();
  EXPECT_FALSE(form->ReportLogOpen());
  form->SelectDeviceByName("");
  ::testing::internal::CaptureStderr();
  form->ExecuteDeviceCommand("statusDevice", "");
  const std::string diagnostics = ::testing::internal::GetCapturedStderr();
  form.reset();
  EXPECT_EQ(ReadFile(target), "keep me");
  EXPECT_NE(diagnostics.find("report log"), std::string::npos);
  EXPECT_TRUE(errors.texts.empty());  // never a box
}

}  // namespace
}  // namespace quillon::ui::testing
