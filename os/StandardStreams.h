// The standard streams of a console program whose output is read by others:
// descriptors that may be closed, pipes whose reader leaves early or that
// another process made non-blocking, disks that fill up.
#pragma once

#include <cstddef>
#include <streambuf>
#include <string>
#include <string_view>

namespace quillon::devices {

// Call first thing in main. Opens /dev/null on any of descriptors 0 to 2
// that is closed, so that no file opened later takes one of them (and gets
// error lines meant for standard error). A write to a pipe nobody reads any
// more then fails with EPIPE instead of killing the process; programs
// started later still get the default behaviour.
void PrepareStandardStreams();

// Writes all of `data` to `fd`: retries after a signal and after a short
// write, and waits while a non-blocking pipe is full. Returns 0, or the
// error number of the write that failed; `written` tells how much went out.
int WriteFully(int fd, std::string_view data, std::size_t& written);

// The text of an error number, for a diagnostics line.
std::string ErrorText(int errorNumber);

// A stream buffer over a descriptor, written out with WriteFully when full
// and on flush. After a failed write it drops everything and reports the
// error; EPIPE (the reader has gone) is told apart, as it is no fault.
class DescriptorStreamBuf final : public std::streambuf {
 public:
  explicit DescriptorStreamBuf(int fd);
  ~DescriptorStreamBuf() override;
  DescriptorStreamBuf(const DescriptorStreamBuf&) = delete;
  DescriptorStreamBuf& operator=(const DescriptorStreamBuf&) = delete;

  // 0, or the error number of the first write that failed.
  int Error() const { return error_; }
  bool ReaderGone() const;

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* data, std::streamsize size) override;
  int sync() override;

 private:
  bool WriteOut(std::string_view data);

  int fd_;
  int error_ = 0;
  char buffer_[16384];
};

}  // namespace quillon::devices
