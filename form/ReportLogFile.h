// The report log: a text file whose lines end in CR LF on every platform.
// Finished lines are written out in batches, not one system call each (a
// report of 100,000 devices would spend most of its time there): when 10 ms
// have passed since the last write, when 64 KiB are pending, and whenever
// the form calls Flush (at the end of a command, before an error box, at
// close), so the file is complete whenever the program waits for anyone.
#pragma once

#include <chrono>
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
  std::string path;  // the file, also when refused

  static ReportLogTarget BesideExecutable(const std::string& executablePath) {
    return File(ReportLogPath(executablePath));
  }
  static ReportLogTarget File(std::string path) { return {Kind::kFile, std::move(path)}; }
  static ReportLogTarget StandardOutput() { return {Kind::kStandardOutput, {}}; }
  static ReportLogTarget Refused(std::string path) { return {Kind::kRefused, std::move(path)}; }
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
  // Ends the current line with CR LF; writes out what is pending when the
  // batch is due.
  void EndLine();
  // Writes out whatever is pending.
  void Flush();
  void Close();

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kBatchBytes = 64 * 1024;
  static constexpr Clock::duration kBatchTime = std::chrono::milliseconds(10);

  int fd_ = -1;
  std::string pending_;
  std::string failure_;
  Clock::time_point lastWrite_;
};

}  // namespace quillon::ui
