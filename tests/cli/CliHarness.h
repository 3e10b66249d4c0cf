// Runs the built quillon executable as a black box: a copy of it in a fresh
// temporary directory (so its report log lands there), a device file beside
// it, the command line as an argv vector (no shell), no display, a time limit.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::cli_test {

struct RunResult {
  int exitCode = -1;  // -1 when the process did not exit normally
  int signal = 0;     // the signal that ended it, if any
  bool timedOut = false;
  std::string out;
  std::string err;

  // The lines of standard error that report an error box ("Error: ...").
  std::vector<std::string> ErrorLines() const;
  // Every line of standard error.
  std::vector<std::string> ErrLines() const;
  // The lines of standard error other than Qt's own environment warnings.
  std::vector<std::string> OwnErrLines() const;
};

struct RunOptions {
  // Environment changes on top of this process's environment (without
  // DISPLAY and WAYLAND_DISPLAY): a value sets, nullopt removes.
  std::map<std::string, std::optional<std::string>> env = {{"QT_QPA_PLATFORM", "offscreen"}};
  // A directory in which the child cannot create files: its write
  // permission is taken away (and the child, when root, loses the
  // capabilities that override permissions), or with `byMount` (root only)
  // it is a private read-only bind mount.
  std::optional<std::filesystem::path> readOnlyDir;
  bool byMount = false;
  // When root, the child loses the capabilities that override permission
  // bits, so that it meets them as an ordinary user would.
  bool obeyPermissions = false;
  int timeoutSeconds = 20;
  // The working directory; the executable's directory when empty.
  std::filesystem::path cwd;
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
  const std::filesystem::path& Executable() const { return exe_; }
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
std::string CrLf(const std::vector<std::string>& lines);

}  // namespace quillon::cli_test
