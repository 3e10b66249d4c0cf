// Writes a device file with N present members to standard output, for
// timing the program over machines of any size. The content is fixed for a
// given N: a mix of enumerators, setup classes, names and problems like a
// real machine's, every name unique, and the last member always named
// "BenchTarget" so that a search by name walks the whole list.
//
// Usage: quillon-gen-devices N
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

struct Kind {
  const char* enumerator;
  const char* idPrefix;
  const char* classGuid;
  const char* name;
};

constexpr Kind kKinds[] = {
    {"PCI", "VEN_8086&DEV_100E", "{4D36E972-E325-11CE-BFC1-08002BE10318}", "Network adapter"},
    {"USB", "VID_046D&PID_C077", "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}", "USB input device"},
    {"ACPI", "PNP0303", "{4D36E96B-E325-11CE-BFC1-08002BE10318}", "Standard keyboard"},
    {"SCSI", "DISK&VEN_QEMU&PROD_HARDDISK", "{4D36E967-E325-11CE-BFC1-08002BE10318}", "Disk drive"},
    {"ROOT", "LEGACY_BEEP", "{8ECC055D-047F-11D1-A537-0000F8753ED1}", "Beep"},
    {"HID", "VID_0627&PID_0001", "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}", "HID tablet"},
};

bool ParseCount(const char* text, unsigned long& count) {
  const char* end = text + std::strlen(text);
  const auto [ptr, ec] = std::from_chars(text, end, count);
  return ec == std::errc() && ptr == end;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long count = 0;
  if (argc != 2 || !ParseCount(argv[1], count)) {
    std::fprintf(stderr, "usage: %s N\n", argc > 0 ? argv[0] : "quillon-gen-devices");
    return 2;
  }
  std::string out = "{\n  \"openError\": 0,\n  \"devices\": [\n";
  for (unsigned long i = 0; i < count; ++i) {
    const Kind& kind = kKinds[i % std::size(kKinds)];
    char member[512];
    const bool last = i + 1 == count;
    const bool disabled = i % 17 == 5;
    const bool stopped = i % 29 == 7;
    // Some members have a friendly name, the others only a description.
    const char* nameKey = i % 3 == 0 ? "friendlyName" : "description";
    std::string name =
        last ? std::string("BenchTarget") : std::string(kind.name) + " #" + std::to_string(i + 1);
    const unsigned status = disabled ? 0x01802402u : stopped ? 0x01802002u : 0x0180200Au;
    const int n = std::snprintf(
        member, sizeof member,
        "    {\"instanceId\": \"%s\\\\%s\\\\%lu\", \"%s\": \"%s\", \"classGuid\": \"%s\", "
        "\"devInst\": %lu, \"status\": \"0x%08X\", \"problem\": %d}%s\n",
        kind.enumerator, kind.idPrefix, i, nameKey, name.c_str(), kind.classGuid, i + 1, status,
        disabled ? 22 : 0, last ? "" : ",");
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof member)
      return 1;
    out.append(member, static_cast<std::size_t>(n));
  }
  out += "  ]\n}\n";
  return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() ? 0 : 1;
}
