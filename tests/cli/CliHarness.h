// Runs the built quillon executable as a black box: a copy of it in a fresh
// temporary directory (so its report log lands there), a device file beside
// it, the command line as an argv vector (no shell), no display, a time limit.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::cli_test {

using Lines = std::vector<std::string>;

struct RunResult {
  int exitCode = -1;  // -1 when the process did not exit normally
  int signal = 0;     // the signal that ended it, if any
  bool timedOut = false;
  std::string out;
  std::string err;
  // What each read of a standard-output pipe returned, in order.
  std::vector<std::string> outChunks;

  // The lines of standard error that report an error box ("Error: ...").
  Lines ErrorLines() const;
  // The lines of standard error other than Qt's own environment warnings.
  Lines OwnErrLines() const;
};

struct RunOptions {
  // Environment changes on top of this process's environment (without
  // DISPLAY and WAYLAND_DISPLAY): a value sets, nullopt removes.
  std::map<std::string, std::optional<std::string>> env = {{"QT_QPA_PLATFORM", "offscreen"}};
  // When root, the child loses the capabilities that override permission
  // bits, so that it meets them as an ordinary user would.
  bool obeyPermissions = false;
  int timeoutSeconds = 20;
  // The working directory; the executable's directory when empty.
  std::filesystem::path cwd;
  // Another program to run than the sandbox's quillon (a full path).
  std::filesystem::path executable;
  // Standard output: a temporary file read afterwards unless one of these.
  std::filesystem::path outPath;  // a file opened for writing (/dev/full)
  struct Pipe {
    bool packets = false;                      // each write its own read (O_DIRECT)
    bool nonBlocking = false;                  // the writer's end made non-blocking
    std::size_t closeAfter = std::size_t(-1);  // bytes read before the reader leaves
    int pauseMs = 0;                           // between reads of a slow reader
  };
  std::optional<Pipe> outPipe;
  bool closeStderr = false;  // started with descriptor 2 closed
};

class Sandbox {
 public:
  // Copies the executable into a new temporary directory, under `subdir`
  // of it when given (e.g. "my.tools"), named `exeName`.
  explicit Sandbox(const std::string& subdir = "", const std::string& exeName = "quillon");
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::filesystem::path& Dir() const { return dir_; }
  std::filesystem::path DeviceFile() const { return dir_ / "devices.json"; }
  std::filesystem::path LogFile() const;

  void WriteDeviceFile(std::string_view json) const;
  std::string ReadDeviceFile() const;

  // Runs with /deviceSource=<DeviceFile()> first, then `args`.
  RunResult Run(const std::vector<std::string>& args, const RunOptions& options = {}) const;
  // Runs with exactly `args`.
  RunResult RunRaw(const std::vector<std::string>& args, const RunOptions& options = {}) const;

  // The report log's bytes; nullopt when there is no such file.
  std::optional<std::string> ReadLog() const;

 private:
  std::filesystem::path root_;  // the temporary directory
  std::filesystem::path dir_;   // where the executable lives
  std::filesystem::path exe_;
};

std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes);

// Joins lines, each ended by CR LF: the report log's format.
std::string CrLf(const Lines& lines);

// The process ended by itself with exit code 0 (as every command-mode run
// must), having reported exactly `errors` in error boxes.
void ExpectEndedNormally(const RunResult& run, const Lines& errors = {});

// One run over one device file, checked from outside.
struct RunCase {
  const char* name;
  std::string json;  // the device file
  Lines args;        // after /deviceSource=
  Lines errors;      // the error-box lines on standard error, in order
  Lines log;         // the report log afterwards
  Lines notes = {};  // the program's other lines on standard error
};

// The line that names a command quillon does not know.
std::string UnknownCommandLine(const std::string& command);
void PrintTo(const RunCase& c, std::ostream* os);
std::string CaseName(const testing::TestParamInfo<RunCase>& info);

// Runs the case: it ends normally with exactly its error lines (and nothing
// but its notes on standard error when there are none), nothing on standard output,
// its report log, and the device file as it was.
class RunTest : public testing::TestWithParam<RunCase> {};

// The six statusDevice lines; all empty when nothing is selected.
Lines StatusLines(const std::string& guid, const std::string& name, const std::string& handle,
                  const std::string& status, const std::string& problem, const std::string& text);
Lines NoStatus();

}  // namespace quillon::cli_test
