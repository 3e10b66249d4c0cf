// The only file of the window library with operating-system calls.
#include "form/ReportLogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <cerrno>
#include <cstring>

#include "os/StandardStreams.h"

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

// Takes the beginning of a line that a failed write left at the end of a
// file out again, unless something was written after it.
void RemoveTornLine(int fd, std::size_t written) {
#ifdef _WIN32
  (void)fd;
  (void)written;
#else
  struct stat info {};
  const off_t end = lseek(fd, 0, SEEK_CUR);
  if (written > 0 && end >= static_cast<off_t>(written) && fstat(fd, &info) == 0 &&
      S_ISREG(info.st_mode) && info.st_size == end) {
    if (ftruncate(fd, end - static_cast<off_t>(written)) == 0)
      lseek(fd, end - static_cast<off_t>(written), SEEK_SET);
  }
#endif
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
  return fd_ >= 0;
}

bool ReportLogFile::Open(const std::string& path) {
  Close();
  failure_.clear();
  fd_ = OpenTruncated(path, failure_);
  return fd_ >= 0;
}

void ReportLogFile::Write(std::string_view text) {
  if (!IsOpen())
    return;
  for (std::size_t newline; (newline = text.find('\n')) != std::string_view::npos;) {
    pending_.append(text.substr(0, newline)).append("\r\n");
    WriteOut();
    text.remove_prefix(newline + 1);
  }
  pending_.append(text);
}

void ReportLogFile::EndLine() {
  if (!IsOpen())
    return;
  pending_ += "\r\n";
  WriteOut();
}

void ReportLogFile::Flush() {
  if (IsOpen() && !pending_.empty())
    WriteOut();
}

void ReportLogFile::WriteOut() {
  if (writeError_ == 0) {
    std::size_t written = 0;
    writeError_ = devices::WriteFully(fd_, pending_, written);
    if (writeError_ != 0 && written > 0)
      RemoveTornLine(fd_, written);
  }
  if (writeError_ != 0)
    ++lostLines_;
  pending_.clear();
}

void ReportLogFile::Close() {
  if (!IsOpen())
    return;
  Flush();
  CloseFile(fd_);
  fd_ = -1;
}

}  // namespace quillon::ui
