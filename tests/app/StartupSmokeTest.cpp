// Starts the built executable the way a script on a machine without a display
// would: no DISPLAY, no WAYLAND_DISPLAY, no QT_QPA_PLATFORM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct RunResult {
  int exitCode = -1;  // -1: did not end in time
  std::string standardError;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The environment without anything that points Qt at a display.
std::vector<std::string> HeadlessEnvironment() {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (text.starts_with("DISPLAY=") || text.starts_with("WAYLAND_DISPLAY=") ||
        text.starts_with("QT_QPA_PLATFORM=")) {
      continue;
    }
    result.push_back(text);
  }
  return result;
}

RunResult Run(const fs::path& executable, const std::vector<std::string>& arguments,
              const std::vector<std::string>& extraEnvironment, const fs::path& errorFile) {
  std::vector<std::string> argvText = {executable.string()};
  argvText.insert(argvText.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : argvText)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envText = HeadlessEnvironment();
  envText.insert(envText.end(), extraEnvironment.begin(), extraEnvironment.end());
  std::vector<char*> envp;
  for (std::string& e : envText)
    envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = 0;
  const int spawned =
      posix_spawn(&pid, executable.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  RunResult result;
  if (spawned != 0) {
    return result;
  }
  // A modal box nobody can answer would wait for ever: give up after a while.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.standardError = ReadFile(errorFile);
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.exitCode = 128 + WTERMSIG(status);  // as a shell reports it
  }
  result.standardError = ReadFile(errorFile);
  return result;
}

class StartupSmokeTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quillon-app-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    // A copy, so that its report log lands in the temporary directory.
    executable_ = dir_ / "quillon";
    fs::copy_file(QUILLON_EXECUTABLE, executable_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  RunResult Run(const std::vector<std::string>& arguments,
                const std::vector<std::string>& extraEnvironment = {}) {
    return ::Run(executable_, arguments, extraEnvironment, dir_ / "stderr.txt");
  }
  std::string MissingSource() const { return "/deviceSource=" + (dir_ / "missing.json").string(); }

  fs::path dir_;
  fs::path executable_;
};

TEST_F(StartupSmokeTest, CommandModeWithoutDisplayRunsOffscreen) {
  const RunResult run = Run({MissingSource(), "/deviceCommand=enumDevices"});
  EXPECT_EQ(run.exitCode, 0) << run.standardError;
  // The error box of the failed open, written where a headless run can see it.
  EXPECT_NE(run.standardError.find("Error: SetupDiGetClassDevs(): 2\n"), std::string::npos)
      << run.standardError;
  const fs::path log = dir_ / "quillon.log";
  ASSERT_TRUE(fs::exists(log));
  EXPECT_EQ(fs::file_size(log), 0u);
}

TEST_F(StartupSmokeTest, WindowModeWithoutDisplayFailsWithOneLine) {
  // A run that cannot start must not throw away the last report.
  std::ofstream(dir_ / "quillon.log") << "last report\r\n";
  const RunResult run = Run({MissingSource()});
  EXPECT_NE(run.exitCode, 0);
  EXPECT_NE(run.exitCode, -1) << "did not end by itself";
  EXPECT_EQ(std::count(run.standardError.begin(), run.standardError.end(), '\n'), 1)
      << run.standardError;
  EXPECT_TRUE(run.standardError.ends_with("\n"));
  EXPECT_NE(run.standardError.find("display"), std::string::npos) << run.standardError;
  EXPECT_EQ(ReadFile(dir_ / "quillon.log"), "last report\r\n");
}

// A display that is named but does not answer (a stale DISPLAY after ssh, a
// display root may not use): Qt alone would abort.
constexpr char kDeadDisplay[] = "DISPLAY=:9876";

TEST_F(StartupSmokeTest, CommandModeWithUnreachableDisplayFallsBackToOffscreen) {
  const RunResult run = Run({MissingSource(), "/deviceCommand=statusDevice"}, {kDeadDisplay});
  EXPECT_EQ(run.exitCode, 0) << run.standardError;
  EXPECT_NE(run.standardError.find("Error: SetupDiGetClassDevs(): 2\n"), std::string::npos)
      << run.standardError;
  EXPECT_EQ(ReadFile(dir_ / "quillon.log"),
            "ClassGUID=\r\nDeviceName=\r\nDeviceHandle=\r\nDeviceStatus=\r\nDeviceProblem=\r\n"
            "DeviceProblemText=\r\n");
}

TEST_F(StartupSmokeTest, WindowModeWithUnreachableDisplayFailsClearly) {
  const RunResult run = Run({MissingSource()}, {kDeadDisplay});
  EXPECT_NE(run.exitCode, 0);
  EXPECT_NE(run.exitCode, -1) << "did not end by itself";
  EXPECT_NE(run.exitCode, 128 + SIGABRT) << run.standardError;
  // Qt's own warnings about the display may come first; ours is the last line.
  EXPECT_TRUE(run.standardError.ends_with("without the window\n")) << run.standardError;
  EXPECT_EQ(run.standardError.find("Error:"), std::string::npos) << "the window was built";
}

}  // namespace
