// Atomic replacement on Windows: a file created with CREATE_NEW, flushed,
// and put in place with ReplaceFile, which keeps the target's security and
// attributes (or MoveFileEx where there is no target yet).
#include "os/AtomicFile.h"

#include <algorithm>
#include <memory>
#include <system_error>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace quillon::devices {

namespace {

namespace fs = std::filesystem;

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

AtomicFileError Failed(AtomicStep step) {
  return {step, static_cast<std::uint32_t>(::GetLastError())};
}

}  // namespace

std::optional<AtomicFileError> WriteFileAtomically(const fs::path& target, std::string_view text,
                                                   const AtomicFileOptions& options) {
  // No mkstemp: the process's number and a counter, created exclusively.
  fs::path base = target;
  base.replace_filename(options.temporaryPrefix);
  const std::wstring prefix = base.wstring() + std::to_wstring(GetCurrentProcessId()) + L"-";
  std::wstring temporary;
  UniqueHandle file;
  for (unsigned attempt = 0; attempt < 1000 && !file; ++attempt) {
    temporary = prefix + std::to_wstring(attempt);
    HANDLE handle = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE)
      file.reset(handle);
    else if (::GetLastError() != ERROR_FILE_EXISTS)
      return Failed(AtomicStep::kCreate);
  }
  if (!file)
    return AtomicFileError{AtomicStep::kCreate, ERROR_GEN_FAILURE};

  const auto fail = [&](AtomicStep step) {
    const AtomicFileError error = Failed(step);
    file.reset();
    DeleteFileW(temporary.c_str());
    return error;
  };
  for (std::size_t written = 0; written < text.size();) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - written, 1u << 30));
    DWORD done = 0;
    if (!WriteFile(file.get(), text.data() + written, chunk, &done, nullptr))
      return fail(AtomicStep::kWrite);
    written += done;
  }
  if (!FlushFileBuffers(file.get()))
    return fail(AtomicStep::kFlush);
  if (!CloseHandle(file.release()))
    return fail(AtomicStep::kWrite);
  if (!ReplaceFileW(target.c_str(), temporary.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                    nullptr, nullptr) &&
      !MoveFileExW(temporary.c_str(), target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return fail(AtomicStep::kRename);
  }
  return std::nullopt;
}

std::string AtomicErrorText(std::uint32_t code) {
  return std::system_category().message(static_cast<int>(code));
}

}  // namespace quillon::devices
