// Where the report log goes and how it is opened.
#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>

#include "form/ReportLogFile.h"
#include "tests/form/FormTestSupport.h"

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

// Written line by line: none lost, none out of order.
TEST(ReportLogFileTest, AReportOfManyLinesIsWrittenWhole) {
  TempDir dir;
  const std::string path = dir.filePath("r.log");
  ReportLogFile log;
  ASSERT_TRUE(log.Open(path));
  std::string expected;
  for (int i = 0; i < 20000; ++i) {
    const std::string line = "Device #" + std::to_string(i) + ": 0x0180200A(enabled)";
    log.Write(line);
    log.EndLine();
    expected += line + "\r\n";
  }
  log.Flush();
  EXPECT_EQ(ReadFile(path), expected);
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

// Only a plain file of its own is truncated: a second link to some other
// file is not emptied, and a FIFO does not hold the start-up for a reader.
TEST_F(FormTest, ALogWithOtherLinksOrNoFileIsNotOpened) {
  const std::string target = dir.filePath("precious.txt");
  WriteFile(target, "keep me");
  std::filesystem::create_hard_link(target, LogPath());
  Make();
  EXPECT_FALSE(form->ReportLogOpen());
  EXPECT_EQ(ReadFile(target), "keep me");
  form->SelectDeviceByName("");
  ::testing::internal::CaptureStderr();
  form->ExecuteDeviceCommand("enumDevices", "");
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("more than one link"), std::string::npos);
  form.reset();
  EXPECT_EQ(ReadFile(target), "keep me");

  std::filesystem::remove(LogPath());
  ASSERT_EQ(mkfifo(LogPath().c_str(), 0600), 0);
  Make();
  EXPECT_FALSE(form->ReportLogOpen());
}

// A line break in a name would turn one report line into two, the second
// one forged: control characters show as blanks.
TEST_F(FormTest, ReportLinesStayOneLinePerDevice) {
  service.devices[0].friendlyName = "Evil\r\nFake: 0x0180200A(enabled)\x1B";
  Make();
  form->SelectDeviceByName("");
  form->ExecuteDeviceCommand("enumDevices", "");
  form->SelectDeviceByName("");
  form->ExecuteDeviceCommand("statusDevice", "");
  form.reset();
  const std::string log = ReadFile(LogPath());
  EXPECT_EQ(log.substr(0, log.find("\r\n")),
            "Evil  Fake: 0x0180200A(enabled) : 0x0180200A(enabled)");
  EXPECT_NE(log.find("\r\nDeviceName=Evil  Fake: 0x0180200A(enabled) \r\n"), std::string::npos)
      << log;
}

}  // namespace
}  // namespace quillon::ui::testing
