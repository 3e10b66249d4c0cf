#include "CliHarness.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace quillon::cli_test {
namespace fs = std::filesystem;

namespace {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// Owns one file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~Fd() { Reset(); }
  int Get() const { return fd_; }
  void Reset(int fd = -1) {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Fd read;
  Fd write;
};

Pipe MakePipe() {
  std::array<int, 2> fds{};
  if (::pipe2(fds.data(), O_CLOEXEC) != 0)
    throw std::runtime_error("pipe2 failed");
  return Pipe{Fd(fds[0]), Fd(fds[1])};
}

std::vector<std::string> BuildEnvironment(const RunOptions& options) {
  std::map<std::string, std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const auto eq = text.find('=');
    if (eq == std::string::npos)
      continue;
    env[text.substr(0, eq)] = text.substr(eq + 1);
  }
  // No display: command mode must work on a server, and a window must not
  // appear on the developer's screen.
  env.erase("DISPLAY");
  env.erase("WAYLAND_DISPLAY");
  env.erase("QT_QPA_PLATFORM");
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
  const char* reason = std::strerror(errno);
  [[maybe_unused]] auto a = ::write(2, "harness: ", 9);
  [[maybe_unused]] auto b = ::write(2, what, std::strlen(what));
  [[maybe_unused]] auto c = ::write(2, ": ", 2);
  [[maybe_unused]] auto d = ::write(2, reason, std::strlen(reason));
  [[maybe_unused]] auto e = ::write(2, "\n", 1);
  ::_exit(126);
}

// Only async-signal-safe calls between fork and exec.
[[noreturn]] void RunChild(const char* exe, const char* cwd, const char* mountReadOnly,
                           bool dropOverrides, int outFd, int errFd, char** argv, char** envp) {
  if (::dup2(outFd, 1) < 0 || ::dup2(errFd, 2) < 0)
    ::_exit(126);
  const int devNull = ::open("/dev/null", O_RDONLY);
  if (devNull < 0 || ::dup2(devNull, 0) < 0)
    ChildFail("stdin");
  if (mountReadOnly != nullptr) {
    if (::unshare(CLONE_NEWNS) != 0)
      ChildFail("unshare");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      ChildFail("private");
    if (::mount(mountReadOnly, mountReadOnly, nullptr, MS_BIND, nullptr) != 0)
      ChildFail("bind");
    if (::mount(nullptr, mountReadOnly, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      ChildFail("remount read-only");
    }
  }
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

std::vector<std::string> RunResult::ErrLines() const {
  return SplitLines(err);
}

std::vector<std::string> RunResult::OwnErrLines() const {
  std::vector<std::string> result;
  for (auto& line : SplitLines(err)) {
    if (line.rfind("QStandardPaths: ", 0) != 0)
      result.push_back(line);
  }
  return result;
}

std::vector<std::string> RunResult::ErrorLines() const {
  std::vector<std::string> result;
  for (auto& line : SplitLines(err)) {
    if (line.rfind("Error: ", 0) == 0)
      result.push_back(line);
  }
  return result;
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

std::string CrLf(const std::vector<std::string>& lines) {
  std::string result;
  for (const auto& line : lines)
    result += line + "\r\n";
  return result;
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
  std::vector<std::string> argvTexts{exe_.string()};
  argvTexts.insert(argvTexts.end(), args.begin(), args.end());
  std::vector<std::string> envTexts = BuildEnvironment(options);
  std::vector<char*> argv = CStrings(argvTexts);
  std::vector<char*> envp = CStrings(envTexts);
  const std::string exe = exe_.string();
  const std::string cwd = options.cwd.empty() ? dir_.string() : options.cwd.string();

  const bool asRoot = ::geteuid() == 0;
  std::string mountReadOnly;
  bool dropOverrides = asRoot && options.obeyPermissions;
  if (options.readOnlyDir) {
    if (options.byMount) {
      if (!asRoot)
        throw std::runtime_error("a read-only mount needs root");
      mountReadOnly = options.readOnlyDir->string();
    } else {
      fs::permissions(*options.readOnlyDir,
                      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                      fs::perm_options::remove);
      dropOverrides = asRoot;
    }
  }

  Pipe out = MakePipe();
  Pipe err = MakePipe();
  const pid_t pid = ::fork();
  if (pid < 0)
    throw std::runtime_error("fork failed");
  if (pid == 0) {
    RunChild(exe.c_str(), cwd.c_str(), mountReadOnly.empty() ? nullptr : mountReadOnly.c_str(),
             dropOverrides, out.write.Get(), err.write.Get(), argv.data(), envp.data());
  }
  out.write.Reset();
  err.write.Reset();

  RunResult result;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
  std::array<std::pair<Fd*, std::string*>, 2> streams{
      {{&out.read, &result.out}, {&err.read, &result.err}}};
  while (out.read.Get() >= 0 || err.read.Get() >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    std::array<pollfd, 2> fds{};
    for (std::size_t i = 0; i < streams.size(); ++i) {
      fds[i] = pollfd{streams[i].first->Get(), POLLIN, 0};  // a negative fd is skipped
    }
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR)
      break;
    for (std::size_t i = 0; i < streams.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0)
        continue;
      std::array<char, 4096> buffer{};
      const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
      if (n > 0) {
        streams[i].second->append(buffer.data(), static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        streams[i].first->Reset();
      }
    }
  }

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status))
    result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    result.signal = WTERMSIG(status);

  if (options.readOnlyDir && !options.byMount) {
    fs::permissions(*options.readOnlyDir, fs::perms::owner_write, fs::perm_options::add);
  }
  return result;
}

}  // namespace quillon::cli_test
