#include "os/StandardStreams.h"

#include <cerrno>
#include <system_error>

namespace quillon::devices {

std::string ErrorText(int errorNumber) {
  return std::generic_category().message(errorNumber);
}

DescriptorStreamBuf::DescriptorStreamBuf(int fd) : fd_(fd) {
  setp(buffer_, buffer_ + sizeof buffer_);
}

DescriptorStreamBuf::~DescriptorStreamBuf() {
  sync();
}

bool DescriptorStreamBuf::ReaderGone() const {
  return error_ == EPIPE;
}

bool DescriptorStreamBuf::WriteOut(std::string_view data) {
  if (error_ != 0)
    return false;
  std::size_t written = 0;
  error_ = WriteFully(fd_, data, written);
  return error_ == 0;
}

DescriptorStreamBuf::int_type DescriptorStreamBuf::overflow(int_type c) {
  if (sync() != 0)
    return traits_type::eof();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

std::streamsize DescriptorStreamBuf::xsputn(const char* data, std::streamsize size) {
  if (size <= epptr() - pptr()) {
    traits_type::copy(pptr(), data, static_cast<std::size_t>(size));
    pbump(static_cast<int>(size));
    return size;
  }
  // Larger than what is left: what is pending, then the text itself.
  if (sync() != 0 || !WriteOut({data, static_cast<std::size_t>(size)}))
    return 0;
  return size;
}

int DescriptorStreamBuf::sync() {
  const std::string_view pending(pbase(), static_cast<std::size_t>(pptr() - pbase()));
  setp(buffer_, buffer_ + sizeof buffer_);
  if (pending.empty())
    return error_ == 0 ? 0 : -1;
  return WriteOut(pending) ? 0 : -1;
}

}  // namespace quillon::devices
