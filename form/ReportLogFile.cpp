// The only file of the window library with operating-system calls.
#include "form/ReportLogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace quillon::ui {

std::string ReportLogPath(const std::string& executablePath) {
  const std::size_t dot = executablePath.rfind('.');
  if (dot != std::string::npos &&
      executablePath.find_first_of("\\/:", dot + 1) == std::string::npos) {
    return executablePath.substr(0, dot) + ".log";
  }
  return executablePath + ".log";
}

namespace {

#ifdef _WIN32

int OpenTruncated(const std::string& path, std::string& failure) {
  const int fd =
      _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0)
    failure = std::strerror(errno);
  return fd;
}

#else

int OpenTruncated(const std::string& path, std::string& failure) {
  // O_NOFOLLOW: a link planted where the log belongs must not redirect our
  // truncating write to some other file. O_NONBLOCK: a FIFO must not hold
  // the start-up until someone reads it. Truncated only once it is known to
  // be a plain file of its own: a hard link would empty another name's file.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int err = errno;
    failure = err == ELOOP   ? "it is a symbolic link"
              : err == ENXIO ? "it is a FIFO"
                             : std::strerror(err);
    return -1;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    failure = "it is not a regular file";
  } else if (info.st_nlink > 1) {
    failure = "it has more than one link";
  } else if (ftruncate(fd, 0) != 0) {
    failure = std::strerror(errno);
  } else {
    return fd;
  }
  close(fd);
  return -1;
}

#endif

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
#ifdef _WIN32
    const int written = _write(fd, data, static_cast<unsigned>(size));
#else
    const ssize_t written = write(fd, data, size);
#endif
    if (written < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

void CloseFile(int fd) {
#ifdef _WIN32
  _close(fd);
#else
  close(fd);
#endif
}

}  // namespace

ReportLogFile::~ReportLogFile() {
  Close();
}

bool ReportLogFile::AttachStandardOutput() {
  Close();
#ifdef _WIN32
  // A GUI program started without standard handles has -2 there.
  fd_ = _get_osfhandle(1) >= 0 ? _dup(1) : -1;
  // Text mode would turn the CR LF we write into CR CR LF.
  if (fd_ >= 0)
    _setmode(fd_, _O_BINARY);
#else
  fd_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
#endif
  lastWrite_ = Clock::now();
  return fd_ >= 0;
}

bool ReportLogFile::Open(const std::string& path) {
  Close();
  failure_.clear();
  fd_ = OpenTruncated(path, failure_);
  lastWrite_ = Clock::now();
  return fd_ >= 0;
}

void ReportLogFile::Write(std::string_view text) {
  if (!IsOpen())
    return;
  for (std::size_t newline; (newline = text.find('\n')) != std::string_view::npos;) {
    pending_.append(text.substr(0, newline)).append("\r\n");
    text.remove_prefix(newline + 1);
  }
  pending_.append(text);
}

void ReportLogFile::EndLine() {
  if (!IsOpen())
    return;
  pending_ += "\r\n";
  if (pending_.size() >= kBatchBytes || Clock::now() - lastWrite_ >= kBatchTime)
    Flush();
}

void ReportLogFile::Flush() {
  if (!IsOpen() || pending_.empty())
    return;
  // A failed write drops the text, like any other write to a failed log.
  WriteAll(fd_, pending_.data(), pending_.size());
  pending_.clear();
  lastWrite_ = Clock::now();
}

void ReportLogFile::Close() {
  if (!IsOpen())
    return;
  Flush();
  CloseFile(fd_);
  fd_ = -1;
}

}  // namespace quillon::ui
