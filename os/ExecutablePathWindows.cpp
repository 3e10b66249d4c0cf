// libstdc++ for mingw-w64 defines NOMINMAX already.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <vector>

#include "os/ExecutablePath.h"

namespace quillon::app {

std::string ExecutablePath() {
  std::vector<char> buffer(MAX_PATH);
  while (true) {
    const DWORD length =
        GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0)
      return {};
    if (length < buffer.size())
      return std::string(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

void ConnectStandardOutput() {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output != nullptr && output != INVALID_HANDLE_VALUE)
    return;  // redirected, or given by the parent
  if (AttachConsole(ATTACH_PARENT_PROCESS) == 0)
    return;  // started from Explorer: nowhere to write
  // std::cout writes through stdout, with which it is synchronised.
  if (std::freopen("CONOUT$", "w", stdout) == nullptr)
    FreeConsole();
}

}  // namespace quillon::app
