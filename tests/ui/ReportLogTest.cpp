// Where the report log goes and how it is opened.
#include <gtest/gtest.h>

#include <filesystem>

#include "FormTestSupport.h"
#include "ReportLogFile.h"

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
  TempDir dir;
  const std::string path = dir.filePath("r.log");
  ReportLogFile log;
  ASSERT_TRUE(log.Open(path));
  log.Write("one\ntwo");
  log.EndLine();
  log.Write("three");
  log.Close();
  EXPECT_EQ(ReadFile(path), "one\r\ntwo\r\nthree");
  using std::filesystem::perms;
  EXPECT_EQ(std::filesystem::status(path).permissions() & perms::others_write, perms::none);
}

TEST_F(FormTest, EveryStartTruncatesTheLastReport) {
  WriteFile(LogPath(), "an earlier run\r\n");
  Make();
  EXPECT_TRUE(form->ReportLogOpen());
  EXPECT_EQ(form->ReportLogFileName(), LogPath());
  EXPECT_EQ(ReadFile(LogPath()), "");
}

TEST_F(FormTest, ALinkInPlaceOfTheLogIsNotFollowed) {
  const std::string target = dir.filePath("precious.txt");
  WriteFile(target, "keep me");
  std::filesystem::create_symlink(target, LogPath());
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
