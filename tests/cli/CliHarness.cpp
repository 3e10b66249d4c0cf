#include "tests/cli/CliHarness.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quillon::cli_test {
namespace fs = std::filesystem;

namespace {

// The lines of `text` that `keep` accepts, without their line ends.
template <typename Keep>
Lines LinesOf(const std::string& text, Keep keep) {
  Lines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (keep(line))
      lines.push_back(line);
  }
  return lines;
}

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

File TemporaryFile() {
  File file(std::tmpfile(), &std::fclose);
  if (!file)
    throw std::runtime_error("tmpfile failed");
  return file;
}

std::string ReadAll(std::FILE* file) {
  std::string text;
  std::rewind(file);
  for (int c; (c = std::fgetc(file)) != EOF;)
    text += static_cast<char>(c);
  return text;
}

// This process's environment without what points Qt at a display (command
// mode must work on a server, and no window may appear on the developer's
// screen), then the options' changes.
std::vector<std::string> BuildEnvironment(const RunOptions& options) {
  std::map<std::string, std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const auto eq = text.find('=');
    if (eq != std::string::npos)
      env[text.substr(0, eq)] = text.substr(eq + 1);
  }
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
    env.erase(name);
  for (const auto& [name, value] : options.env) {
    if (value) {
      env[name] = *value;
    } else {
      env.erase(name);
    }
  }
  std::vector<std::string> result;
  for (const auto& [name, value] : env)
    result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> CStrings(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (auto& text : texts)
    result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

[[noreturn]] void ChildFail(const char* what) {
  [[maybe_unused]] auto a = ::write(2, "harness: ", 9);
  [[maybe_unused]] auto b = ::write(2, what, std::strlen(what));
  [[maybe_unused]] auto c = ::write(2, "\n", 1);
  ::_exit(126);
}

// Only async-signal-safe calls between fork and exec.
[[noreturn]] void RunChild(const char* exe, const char* cwd, bool dropOverrides, int outFd,
                           int errFd, bool closeErr, char** argv, char** envp) {
  const int devNull = ::open("/dev/null", O_RDONLY);
  if (::dup2(outFd, 1) < 0 || ::dup2(errFd, 2) < 0 || devNull < 0 || ::dup2(devNull, 0) < 0)
    ::_exit(126);
  if (closeErr)
    ::close(2);
  if (dropOverrides) {
    // Out of the bounding set, so that root after exec obeys permission bits.
    for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
      if (::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0)
        ChildFail("drop capability");
    }
  }
  if (::chdir(cwd) != 0)
    ChildFail("chdir");
  ::execve(exe, argv, envp);
  ChildFail("execve");
}

}  // namespace

Lines RunResult::OwnErrLines() const {
  return LinesOf(err,
                 [](const std::string& line) { return !line.starts_with("QStandardPaths: "); });
}

Lines RunResult::ErrorLines() const {
  return LinesOf(err, [](const std::string& line) { return line.starts_with("Error: "); });
}

std::string ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot read " + path.string());
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush())
    throw std::runtime_error("cannot write " + path.string());
}

std::string CrLf(const Lines& lines) {
  std::string result;
  for (const auto& line : lines)
    result += line + "\r\n";
  return result;
}

void ExpectEndedNormally(const RunResult& run, const Lines& errors) {
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.ErrorLines(), errors) << run.err;
}

void PrintTo(const RunCase& c, std::ostream* os) {
  *os << c.name;
}

std::string CaseName(const testing::TestParamInfo<RunCase>& info) {
  return info.param.name;
}

TEST_P(RunTest, ReportsAsExpected) {
  const RunCase& c = GetParam();
  Sandbox box;
  box.WriteDeviceFile(c.json);
  const RunResult run = box.Run(c.args);
  ExpectEndedNormally(run, c.errors);
  if (c.errors.empty()) {
    std::string notes;
    for (const std::string& note : c.notes)
      notes += note + "\n";
    EXPECT_EQ(run.err, notes);
  }
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(box.ReadLog(), CrLf(c.log));
  EXPECT_EQ(box.ReadDeviceFile(), c.json);
}

std::string UnknownCommandLine(const std::string& command) {
  return "quillon: unknown command " + command +
         " (letter case counts); the commands are enumDevices, statusDevice, enableDevice, "
         "disableDevice, startDevice, stopDevice, setFriendlyName";
}

Lines StatusLines(const std::string& guid, const std::string& name, const std::string& handle,
                  const std::string& status, const std::string& problem, const std::string& text) {
  return {"ClassGUID=" + guid,      "DeviceName=" + name,       "DeviceHandle=" + handle,
          "DeviceStatus=" + status, "DeviceProblem=" + problem, "DeviceProblemText=" + text};
}

Lines NoStatus() {
  return StatusLines("", "", "", "", "", "");
}

Sandbox::Sandbox(const std::string& subdir, const std::string& exeName) {
  std::string pattern = (fs::temp_directory_path() / "quillon-cli-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  dir_ = subdir.empty() ? root_ : root_ / subdir;
  fs::create_directories(dir_);
  exe_ = dir_ / exeName;
  fs::copy_file(QUILLON_EXECUTABLE, exe_);
  fs::permissions(exe_, fs::perms::owner_all, fs::perm_options::add);
#ifdef QUILLON_GUI_MODULE
  fs::copy_file(QUILLON_GUI_MODULE, dir_ / fs::path(QUILLON_GUI_MODULE).filename());
#endif
}

Sandbox::~Sandbox() {
  std::error_code ec;
  // A test may have left a directory without write permission.
  for (auto it = fs::recursive_directory_iterator(root_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
  }
  fs::remove_all(root_, ec);
}

fs::path Sandbox::LogFile() const {
  fs::path log = exe_;
  log.replace_extension(".log");
  return log;
}

void Sandbox::WriteDeviceFile(std::string_view json) const {
  WriteFileBytes(DeviceFile(), json);
}

std::string Sandbox::ReadDeviceFile() const {
  return ReadFileBytes(DeviceFile());
}

std::optional<std::string> Sandbox::ReadLog() const {
  std::error_code ec;
  if (!fs::is_regular_file(LogFile(), ec))
    return std::nullopt;
  return ReadFileBytes(LogFile());
}

RunResult Sandbox::Run(const std::vector<std::string>& args, const RunOptions& options) const {
  std::vector<std::string> all{"/deviceSource=" + DeviceFile().string()};
  all.insert(all.end(), args.begin(), args.end());
  return RunRaw(all, options);
}

RunResult Sandbox::RunRaw(const std::vector<std::string>& args, const RunOptions& options) const {
  const fs::path program = options.executable.empty() ? exe_ : options.executable;
  std::vector<std::string> argvTexts{program.string()};
  argvTexts.insert(argvTexts.end(), args.begin(), args.end());
  std::vector<std::string> envTexts = BuildEnvironment(options);
  std::vector<char*> argv = CStrings(argvTexts);
  std::vector<char*> envp = CStrings(envTexts);
  const std::string exe = program.string();
  const std::string cwd = options.cwd.empty() ? dir_.string() : options.cwd.string();

  const File out = TemporaryFile();
  const File err = TemporaryFile();
  int outFd = ::fileno(out.get());
  const File outFile(options.outPath.empty() ? nullptr : std::fopen(options.outPath.c_str(), "we"),
                     &std::fclose);
  if (!options.outPath.empty()) {
    if (!outFile)
      throw std::runtime_error("cannot open " + options.outPath.string());
    outFd = ::fileno(outFile.get());
  }
  int pipeFds[2] = {-1, -1};
  if (options.outPipe) {
    if (::pipe2(pipeFds, O_CLOEXEC | (options.outPipe->packets ? O_DIRECT : 0)) != 0)
      throw std::runtime_error("pipe2 failed");
    if (options.outPipe->nonBlocking)
      ::fcntl(pipeFds[1], F_SETFL, O_NONBLOCK);
    outFd = pipeFds[1];
  }
  const pid_t pid = ::fork();
  if (pid < 0)
    throw std::runtime_error("fork failed");
  if (pid == 0) {
    RunChild(exe.c_str(), cwd.c_str(), options.obeyPermissions && ::geteuid() == 0, outFd,
             ::fileno(err.get()), options.closeStderr, argv.data(), envp.data());
  }

  RunResult result;
  int reader = pipeFds[0];
  if (options.outPipe)
    ::close(pipeFds[1]);
  // Reads what the pipe holds now; false when nothing came or at its end.
  const auto readPipe = [&](int waitMs) {
    pollfd ready{reader, POLLIN, 0};
    if (::poll(&ready, 1, waitMs) <= 0)
      return false;
    char chunk[4096];
    const ssize_t got = ::read(reader, chunk, sizeof chunk);
    if (got <= 0)
      return false;
    result.outChunks.emplace_back(chunk, static_cast<std::size_t>(got));
    result.out.append(chunk, static_cast<std::size_t>(got));
    if (result.out.size() >= options.outPipe->closeAfter) {
      ::close(reader);  // the reader leaves
      reader = -1;
      return false;
    }
    if (options.outPipe->pauseMs > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(options.outPipe->pauseMs));
    return true;
  };
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      result.timedOut = true;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    if (reader < 0 || !readPipe(5))
      std::this_thread::sleep_for(std::chrono::milliseconds(reader < 0 ? 5 : 1));
  }
  while (reader >= 0 && readPipe(100)) {
  }
  if (reader >= 0)
    ::close(reader);
  if (WIFEXITED(status))
    result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    result.signal = WTERMSIG(status);
  if (!options.outPipe)
    result.out = ReadAll(out.get());
  result.err = ReadAll(err.get());
  return result;
}

}  // namespace quillon::cli_test
