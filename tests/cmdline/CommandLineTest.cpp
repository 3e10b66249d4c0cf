#include "cmdline/CommandLine.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

namespace quillon::app {
namespace {

using Args = std::vector<std::string>;

TEST(SplitCommandLineTest, Table) {
  const struct {
    std::string raw;
    Args expected;
  } cases[] = {
      {"", {}},
      {"   \t ", {}},
      {"C:\\Tools\\quillon.exe", {}},
      {"\"C:\\Program Files\\q.exe\" /a=1", {"/a=1"}},
      {"q.exe   /a=1    /b=2  ", {"/a=1", "/b=2"}},
      {"q.exe\t/a=1\t\t/b=2", {"/a=1", "/b=2"}},
      {"q.exe\x01/a=1\x1f\r\n/b=2", {"/a=1", "/b=2"}},  // control characters separate
      {"q.exe \"/value0=My Disk\"", {"/value0=My Disk"}},
      {"q.exe /value0=\"My  Disk\" x", {"/value0=My  Disk", "x"}},
      {"q.exe /va\"lu\"e0=a\"b\"c", {"/value0=abc"}},  // quotes go wherever they are
      {"q.exe \"a b\"c\" d\"", {"a bc d"}},
      {"q.exe /value0=\"a b  ", {"/value0=a b  "}},  // an open quote runs to the end
      {"q.exe \"\" /a=1", {"", "/a=1"}},
      {"\"q.exe\"/a=1 /b=2", {"/b=2"}},  // glued to the program, part of it
      // Bytes of the ANSI code page above 127 belong to the argument.
      {"q.exe /deviceName=Ger\xe4t\xa0X", {"/deviceName=Ger\xe4t\xa0X"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(SplitCommandLine(c.raw), c.expected) << c.raw;
}

TEST(ArgumentsFromArgvTest, DropsProgramAndQuoteCharactersButNotBlanks) {
  const char* argv[] = {"/usr/bin/quillon", "/deviceName=\"Disk\" 1", "plain", "",
                        "a\"\"b",           "/value0=a \tb",          nullptr};
  EXPECT_EQ(ArgumentsFromArgv(6, argv),
            (Args{"/deviceName=Disk 1", "plain", "", "ab", "/value0=a \tb"}));
  EXPECT_TRUE(ArgumentsFromArgv(1, argv).empty());
  EXPECT_TRUE(ArgumentsFromArgv(0, argv).empty());
}

TEST(GetSwitchValueTest, Table) {
  const struct {
    Args arguments;
    std::string name;
    std::string expected;
  } cases[] = {
      {{}, "deviceName", ""},
      {{"/deviceName=Disk"}, "deviceName", "Disk"},
      {{"/DEVICENAME=X"}, "deviceName", "X"},
      {{"/deviceCommand=EnumDevices"}, "deviceCommand", "EnumDevices"},
      {{"-deviceName=X", "deviceName=X"}, "deviceName", ""},
      {{"/deviceName="}, "deviceName", ""},
      {{"/deviceName=", "/deviceName=Y"}, "deviceName", "Y"},
      {{"/DEVICENAME=A", "/deviceName=B"}, "deviceName", "A"},
      {{"x", "/value0=1", "/deviceName=Z"}, "deviceName", "Z"},
      {{"/deviceNames=X", "/deviceNam=X", "/deviceNameX"}, "deviceName", ""},
      {{"/value=X", "/value0=Y"}, "value0", "Y"},
      {{"/value0=a=b"}, "value0", "a=b"},
      {{"/value0=="}, "value0", "="},
      {{"/value0= My Disk "}, "value0", " My Disk "},
      {{"/", "/d", ""}, "deviceName", ""},
      // A byte that is no character in the locale compares as it is.
      {{"/ger\xc4t=X"}, "ger\xe4t", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetSwitchValue(c.arguments, c.name, "/"), c.expected)
        << c.name << " in " << testing::PrintToString(c.arguments);
  }
}

// Switch names fold as the user's locale does, beyond ASCII; values keep
// their case.
TEST(GetSwitchValueTest, NamesFoldAsTheLocaleDoes) {
  const std::string previous = std::setlocale(LC_CTYPE, nullptr);
  if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr)
    GTEST_SKIP() << "no C.UTF-8 locale";
  const struct {
    Args arguments;
    std::string name;
    std::string expected;
  } cases[] = {
      {{"/GER\xc3\x84T=X"}, "ger\xc3\xa4t", "X"},              // A-umlaut
      {{"/\xc3\x89tat=\xc3\x89"}, "\xc3\xa9tat", "\xc3\x89"},  // value keeps its E-acute
      {{"/ger\xc3=X"}, "ger\xc3", "X"},                        // a broken byte matches itself
      {{"/DEVICENAME=Y"}, "deviceName", "Y"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetSwitchValue(c.arguments, c.name, "/"), c.expected)
        << c.name << " in " << testing::PrintToString(c.arguments);
  }
  std::setlocale(LC_CTYPE, previous.c_str());
}

TEST(GetSwitchValueTest, AnyOfTheSwitchCharacters) {
  const Args arguments = {"-value0=dash", "/value0=slash"};
  EXPECT_EQ(GetSwitchValue(arguments, "value0", "-/"), "dash");
  EXPECT_EQ(GetSwitchValue(arguments, "value0", "/"), "slash");
  EXPECT_EQ(GetSwitchValue(arguments, "value0", ""), "");
}

TEST(GetSwitchValueTest, WorksOnSplitWindowsLine) {
  const Args arguments = SplitCommandLine(
      "\"C:\\Tools\\q.exe\" /deviceName=\"Wired Network\" /deviceCommand=setFriendlyName "
      "\"/value0=Uplink 2\"");
  EXPECT_EQ(GetSwitchValue(arguments, "deviceName", "/"), "Wired Network");
  EXPECT_EQ(GetSwitchValue(arguments, "deviceCommand", "/"), "setFriendlyName");
  EXPECT_EQ(GetSwitchValue(arguments, "value0", "/"), "Uplink 2");
}

}  // namespace
}  // namespace quillon::app
