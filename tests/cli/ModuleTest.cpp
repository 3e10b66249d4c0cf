// The window module as the program finds it: anything but this build's
// module, in the first place that holds one, is one line on standard error
// and exit code 1, as when there is none; never a crash, a hang, or a
// module taken from the working directory.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/cli/CliHarness.h"

namespace quillon::cli_test {
namespace {

namespace fs = std::filesystem;

struct ModuleCase {
  const char* name;
  // Puts something (or nothing) at `module`, beside the program.
  void (*prepare)(const fs::path& module);
  const char* reason;  // in the one line on standard error
  // QUILLON_GUI_MODULE, relative to the working directory (which is not the
  // program's and holds a good module).
  const char* environment = nullptr;
  bool needsRoot = false;  // to give a file to another user
};

void PrintTo(const ModuleCase& c, std::ostream* os) {
  *os << c.name;
}

const ModuleCase kCases[] = {
    {"Missing", [](const fs::path& module) { fs::remove(module); }, "no window module"},
    {"RelativeEnvironment", [](const fs::path& module) { fs::remove(module); },
     "QUILLON_GUI_MODULE is ignored: not an absolute path", "quillon-gui.so"},
    {"Truncated", [](const fs::path& module) { fs::resize_file(module, 64 * 1024); }, "is damaged"},
    {"Empty", [](const fs::path& module) { fs::resize_file(module, 0); }, "is not a shared object"},
    {"Fifo",
     [](const fs::path& module) {
       fs::remove(module);
       ASSERT_EQ(::mkfifo(module.c_str(), 0644), 0);
     },
     "is a FIFO"},
    {"Directory",
     [](const fs::path& module) {
       fs::remove(module);
       fs::create_directory(module);
     },
     "is a directory"},
    {"OtherBuild",
     [](const fs::path& module) {
       fs::copy_file(QUILLON_OTHER_BUILD_MODULE, module, fs::copy_options::overwrite_existing);
     },
     "is from another build of the program (0.0.1 (build 0123456789abcdef)), this program is "},
    {"OlderBuild",
     [](const fs::path& module) {
       fs::copy_file(QUILLON_OLDER_BUILD_MODULE, module, fs::copy_options::overwrite_existing);
     },
     "undefined symbol: quillon_symbol_of_the_program"},
    // Whoever may change the module, or a folder on its way, chooses the code
    // the program runs: only root, its user and the program's owner may.
    {"WritableByEveryone",
     [](const fs::path& module) {
       fs::permissions(module, fs::perms::others_write, fs::perm_options::add);
     },
     "is not loaded: it may be changed by every user"},
    {"LinkIntoFolderWritableByEveryone",
     [](const fs::path& module) {
       const fs::path open = module.parent_path() / "open";
       fs::create_directory(open);
       fs::permissions(open, fs::perms::all);
       fs::rename(module, open / "quillon-gui.so");
       fs::create_symlink(open / "quillon-gui.so", module);
     },
     "/open may be changed by every user"},
    {"OtherOwner",
     [](const fs::path& module) { ASSERT_EQ(::chown(module.c_str(), 65534, 65534), 0); },
     "is not loaded: it belongs to another user", nullptr, true},
};

class ModuleTest : public testing::TestWithParam<ModuleCase> {};

TEST_P(ModuleTest, RefusedWithOneLine) {
  const ModuleCase& c = GetParam();
  if (c.needsRoot && ::geteuid() != 0)
    GTEST_SKIP() << "only root can give a file to another user";
  const Sandbox sandbox;
  sandbox.WriteDeviceFile(R"({"devices": [{"friendlyName": "Disk"}]})");
  const fs::path module = sandbox.Dir() / "quillon-gui.so";
  const fs::path elsewhere = sandbox.Dir() / "elsewhere";
  fs::create_directory(elsewhere);
  fs::copy_file(module, elsewhere / "quillon-gui.so");
  c.prepare(module);
  RunOptions options;
  options.cwd = elsewhere;
  options.timeoutSeconds = 10;
  if (c.environment != nullptr)
    options.env["QUILLON_GUI_MODULE"] = c.environment;
  else
    options.env["QUILLON_GUI_MODULE"] = std::nullopt;

  const RunResult run = sandbox.Run({}, options);  // window mode: the toolkit is needed

  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exitCode, 1);
  const Lines lines = run.OwnErrLines();
  ASSERT_EQ(lines.size(), 1u) << run.err;
  EXPECT_TRUE(lines[0].starts_with("quillon: the window toolkit could not be loaded: "))
      << lines[0];
  EXPECT_NE(lines[0].find(c.reason), std::string::npos) << lines[0];
}

INSTANTIATE_TEST_SUITE_P(Module, ModuleTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<ModuleCase>& param) {
                           return std::string(param.param.name);
                         });

// Set-group-ID (as a set-user-ID program, or one with file capabilities),
// the program lets no variable of its caller choose the code it runs.
TEST(ModuleTest, EnvironmentIgnoredWhenPrivileged) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "only root can give the program another group";
  const Sandbox sandbox;
  sandbox.WriteDeviceFile(R"({"devices": [{"friendlyName": "Disk"}]})");
  const fs::path elsewhere = sandbox.Dir() / "elsewhere";
  fs::create_directory(elsewhere);
  fs::rename(sandbox.Dir() / "quillon-gui.so", elsewhere / "quillon-gui.so");
  const fs::path exe = sandbox.Dir() / "quillon";
  ASSERT_EQ(::chown(exe.c_str(), 0, 65534), 0);
  ASSERT_EQ(::chmod(exe.c_str(), 02755), 0);
  RunOptions options;
  options.env["QUILLON_GUI_MODULE"] = (elsewhere / "quillon-gui.so").string();

  const RunResult run = sandbox.Run({}, options);

  EXPECT_EQ(run.exitCode, 1);
  const Lines lines = run.OwnErrLines();
  ASSERT_EQ(lines.size(), 1u) << run.err;
  EXPECT_NE(lines[0].find("no window module"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("QUILLON_GUI_MODULE is ignored: the program runs with more rights"),
            std::string::npos)
      << lines[0];
}

}  // namespace
}  // namespace quillon::cli_test
