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

// Only a plain file of its own is truncated: a link planted in its place is
// not followed, a second link to some other file is not emptied, and a FIFO
// does not hold the start-up for a reader. A report asked for then says why
// on standard error, never in a box.
TEST_F(FormTest, ALogThatIsNoPlainFileOfItsOwnIsNotOpened) {
  using Plant = void (*)(const std::string& target, const std::string& log);
  const struct {
    const char* name;
    Plant plant;
    const char* command;
    const char* reason;
  } cases[] = {
      {"symbolic link",
       [](const std::string& target, const std::string& log) {
         std::filesystem::create_symlink(target, log);
       },
       "statusDevice", "it is a symbolic link"},
      {"second link",
       [](const std::string& target, const std::string& log) {
         std::filesystem::create_hard_link(target, log);
       },
       "enumDevices", "it has more than one link"},
      {"FIFO",
       [](const std::string&, const std::string& log) { ASSERT_EQ(mkfifo(log.c_str(), 0600), 0); },
       "statusDevice", "it is a FIFO"},
  };
  const std::string target = dir.filePath("precious.txt");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(LogPath());
    WriteFile(target, "keep me");
    c.plant(target, LogPath());
    Make();
    EXPECT_FALSE(form->ReportLogOpen());
    EXPECT_EQ(ReadFile(target), "keep me");
    form->SelectDeviceByName("");
    ::testing::internal::CaptureStderr();
    form->ExecuteDeviceCommand(c.command, "");
    const std::string diagnostics = ::testing::internal::GetCapturedStderr();
    form.reset();
    EXPECT_EQ(ReadFile(target), "keep me");
    EXPECT_NE(diagnostics.find("the report log"), std::string::npos) << diagnostics;
    EXPECT_NE(diagnostics.find(c.reason), std::string::npos) << diagnostics;
  }
  EXPECT_TRUE(errors.texts.empty());  // never a box
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
