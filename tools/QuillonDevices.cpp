// quillon-devices: lists a device source's present nodes, one line each, as
// the report log's enumDevices lines: "<display name>: 0x<status>(<problem text>)".
//
//   quillon-devices [/deviceSource=FILE-OR-DIRECTORY]
//
// Without a source it reads this computer (SetupAPI on Windows, sysfs on
// Linux). Errors go to standard error as "Error: <function>(): <code>"; the
// exit code is 1 when anything failed, 2 for a bad command line.
#include <cstdint>
#include <iostream>
#include <string>
#include <string_view>

#include "CommandLine.h"
#include "DeviceServiceFactory.h"
#include "DeviceText.h"

namespace {

using namespace quillon::devices;

constexpr std::string_view kUsage =
    "usage: quillon-devices [/deviceSource=FILE-OR-DIRECTORY]\n"
    "Lists the present device nodes: \"<name>: 0x<status>(<problem text>)\" per line.\n";

// Lines written so far come first, so that an error stands beside its device.
void ReportError(const char* function, std::uint32_t code) {
  std::cout.flush();
  std::cerr << "Error: " << function << "(): " << FormatSigned(code) << '\n';
}

}  // namespace

int main(int argc, char** argv) {
  std::string source;
  bool haveSource = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "/?" || argument == "-h" || argument == "--help") {
      std::cout << kUsage;
      return 0;
    }
    // The window program's switch rules, one argument at a time so that any
    // other argument is refused; the first /deviceSource= wins.
    const std::string value =
        quillon::app::GetSwitchValue({std::string(argument)}, "deviceSource", "/");
    if (!value.empty()) {
      if (!haveSource)
        source = value;
      haveSource = true;
      continue;
    }
    std::cerr << "quillon-devices: unknown argument '" << argument << "'\n" << kUsage;
    return 2;
  }

  const std::unique_ptr<DeviceService> service = CreateDeviceService(source, std::cerr);
  const DeviceInfoSetPtr set = OpenPresentDevices(*service, "");
  if (set == nullptr) {
    ReportError("SetupDiGetClassDevs", service->GetLastError());
    return 1;
  }

  int exitCode = 0;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;  // 32 on 64-bit Windows, 28 on 32-bit
  for (std::uint32_t index = 0; service->SetupDiEnumDeviceInfo(set.get(), index, &data); ++index) {
    std::string name;
    if (ReadDisplayName(*service, set.get(), data, name) == DisplayNameResult::kInstanceIdFailed) {
      ReportError("SetupDiGetDeviceInstanceId", service->GetLastError());
      exitCode = 1;
    }
    // The query may succeed without writing (Wine): start from zero.
    std::uint32_t status = 0;
    std::uint32_t problem = 0;
    service->CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0);
    std::cout << name << ": " << FormatHex8(status) << '(' << ProblemText(problem) << ")\n";
  }
  if (service->GetLastError() != error::kNoMoreItems) {
    ReportError("SetupDiEnumDeviceInfo", service->GetLastError());
    exitCode = 1;
  }
  std::cout.flush();
  return std::cout ? exitCode : 1;
}
