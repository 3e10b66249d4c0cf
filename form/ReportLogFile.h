// The report log: a text file whose lines end in CR LF on every platform.
// Each finished line is written out at once, in one write of its own, so a
// process killed at any moment leaves every line it finished in the file,
// and a reader of a pipe sees each line as soon as it is done.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace quillon::ui {

// The executable's path with its extension replaced by ".log". The extension
// starts at the last "." that no folder separator ("\", "/" or ":") follows;
// a path without one gets ".log" appended.
std::string ReportLogPath(const std::string& executablePath);

// Where the report log goes: a file, the process's standard output, or
// nowhere (a file that must not be truncated).
struct ReportLogTarget {
  enum class Kind { kFile, kStandardOutput, kRefused };
  Kind kind = Kind::kFile;
  std::string path;    // the file, also when refused
  std::string reason;  // why it was refused

  static ReportLogTarget BesideExecutable(const std::string& executablePath) {
    return File(ReportLogPath(executablePath));
  }
  static ReportLogTarget File(std::string path) { return {Kind::kFile, std::move(path), {}}; }
  static ReportLogTarget StandardOutput() { return {Kind::kStandardOutput, {}, {}}; }
  static ReportLogTarget Refused(std::string path, std::string reason) {
    return {Kind::kRefused, std::move(path), std::move(reason)};
  }
};

class ReportLogFile {
 public:
  ReportLogFile() = default;
  ~ReportLogFile();
  ReportLogFile(const ReportLogFile&) = delete;
  ReportLogFile& operator=(const ReportLogFile&) = delete;

  // Creates or truncates `path` for writing (mode 0644 where that applies).
  // Only a plain file of its own is truncated: a symbolic link, a file with
  // other hard links, a FIFO or a device in its place is refused (and never
  // waited for). False when not opened; writes are then dropped.
  bool Open(const std::string& path);
  // Writes to a duplicate of standard output instead, in binary mode, so
  // the bytes are the same as in a file. False when there is none.
  bool AttachStandardOutput();
  bool IsOpen() const { return fd_ >= 0; }
  // Why the last Open failed, for a diagnostics line.
  const std::string& Failure() const { return failure_; }

  // Appends text to the current line; "\n" inside it ends a line.
  void Write(std::string_view text);
  // Ends the current line with CR LF and writes the line out.
  void EndLine();
  // Writes out an unfinished line, if any.
  void Flush();
  void Close();

  // After a write failed: its error number (0 while none has), and the lines
  // that did not reach the log since. A line the failed write had begun is
  // taken out of a file again where nothing came after it, so the log ends
  // with its last whole line. No line is written after a failure.
  int WriteError() const { return writeError_; }
  std::size_t LostLines() const { return lostLines_; }

 private:
  // Writes what is pending in one write; counts it lost after a failure.
  void WriteOut();

  int fd_ = -1;
  std::string pending_;
  std::string failure_;
  int writeError_ = 0;
  std::size_t lostLines_ = 0;
};

}  // namespace quillon::ui
