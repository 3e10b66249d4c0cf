// The running program's full path, in the platform's own form.
#pragma once

#include <string>

namespace quillon::app {

// Empty when the system does not tell.
std::string ExecutablePath();

}  // namespace quillon::app
