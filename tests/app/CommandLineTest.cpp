#include "CommandLine.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace quillon::app {
namespace {

using Args = std::vector<std::string>;

struct SplitCase {
  const char* name;
  std::string raw;
  Args expected;
};

// Keeps the case's name, not its bytes, in test listings.
void PrintTo(const SplitCase& c, std::ostream* os) {
  *os << c.name;
}

class SplitCommandLineTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, Splits) {
  EXPECT_EQ(SplitCommandLine(GetParam().raw), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitCommandLineTest,
    testing::Values(
        SplitCase{"Empty", "", {}}, SplitCase{"OnlyBlanks", "   \t ", {}},
        SplitCase{"ProgramOnly", "C:\\Tools\\quillon.exe", {}},
        SplitCase{"QuotedProgramWithBlank", "\"C:\\Program Files\\q.exe\" /a=1", {"/a=1"}},
        SplitCase{"BlanksRuns", "q.exe   /a=1    /b=2  ", {"/a=1", "/b=2"}},
        SplitCase{"Tabs", "q.exe\t/a=1\t\t/b=2", {"/a=1", "/b=2"}},
        SplitCase{"ControlCharacters", "q.exe\x01/a=1\x1f\r\n/b=2", {"/a=1", "/b=2"}},
        SplitCase{"QuotedWhole", "q.exe \"/value0=My Disk\"", {"/value0=My Disk"}},
        SplitCase{"QuotedInPart", "q.exe /value0=\"My  Disk\" x", {"/value0=My  Disk", "x"}},
        SplitCase{"QuotesRemovedWherever", "q.exe /va\"lu\"e0=a\"b\"c", {"/value0=abc"}},
        SplitCase{"QuoteGluesToNext", "q.exe \"a b\"c\" d\"", {"a bc d"}},
        SplitCase{"UnterminatedQuoteRunsToEnd", "q.exe /value0=\"a b  ", {"/value0=a b  "}},
        SplitCase{"EmptyQuotedArgument", "q.exe \"\" /a=1", {"", "/a=1"}},
        SplitCase{"ProgramGluedToSwitch", "\"q.exe\"/a=1 /b=2", {"/b=2"}},
        // Bytes of the ANSI code page above 127 belong to the argument.
        SplitCase{"HighBytesAreNotSeparators",
                  "q.exe /deviceName=Ger\xe4t\xa0X",
                  {"/deviceName=Ger\xe4t\xa0X"}}),
    [](const testing::TestParamInfo<SplitCase>& param) { return param.param.name; });

TEST(ArgumentsFromArgvTest, DropsProgramAndQuoteCharacters) {
  const char* argv[] = {
      "/usr/bin/quillon", "/deviceName=\"Disk\" 1", "plain", "", "a\"\"b", nullptr};
  EXPECT_EQ(ArgumentsFromArgv(5, argv), (Args{"/deviceName=Disk 1", "plain", "", "ab"}));
}

TEST(ArgumentsFromArgvTest, KeepsBlanksAndTabsInsideOneElement) {
  const char* argv[] = {"quillon", "/value0=a \tb", nullptr};
  EXPECT_EQ(ArgumentsFromArgv(2, argv), (Args{"/value0=a \tb"}));
}

TEST(ArgumentsFromArgvTest, NoArguments) {
  const char* argv[] = {"quillon", nullptr};
  EXPECT_TRUE(ArgumentsFromArgv(1, argv).empty());
  EXPECT_TRUE(ArgumentsFromArgv(0, argv).empty());
}

struct SwitchCase {
  const char* name;
  Args arguments;
  std::string switchName;
  std::string expected;
};

void PrintTo(const SwitchCase& c, std::ostream* os) {
  *os << c.name;
}

class GetSwitchValueTest : public testing::TestWithParam<SwitchCase> {};

TEST_P(GetSwitchValueTest, Finds) {
  EXPECT_EQ(GetSwitchValue(GetParam().arguments, GetParam().switchName, "/"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, GetSwitchValueTest,
    testing::Values(
        SwitchCase{"NoArguments", {}, "deviceName", ""},
        SwitchCase{"Plain", {"/deviceName=Disk"}, "deviceName", "Disk"},
        SwitchCase{"NameIgnoresCase", {"/devicename=X"}, "deviceName", "X"},
        SwitchCase{
            "NameIgnoresCaseUpper", {"/DEVICECOMMAND=enumDevices"}, "deviceCommand", "enumDevices"},
        SwitchCase{
            "ValueKeepsCase", {"/deviceCommand=EnumDevices"}, "deviceCommand", "EnumDevices"},
        SwitchCase{"DashIsNoSwitch", {"-deviceName=X"}, "deviceName", ""},
        SwitchCase{"BareIsNoSwitch", {"deviceName=X"}, "deviceName", ""},
        SwitchCase{"EmptyValueDoesNotMatch", {"/deviceName="}, "deviceName", ""},
        SwitchCase{"EmptyValueSearchGoesOn", {"/deviceName=", "/deviceName=Y"}, "deviceName", "Y"},
        SwitchCase{"FirstWins", {"/deviceName=A", "/deviceName=B"}, "deviceName", "A"},
        SwitchCase{"FirstWinsAcrossCase", {"/DEVICENAME=A", "/deviceName=B"}, "deviceName", "A"},
        SwitchCase{"OtherArgumentsIgnored", {"x", "/value0=1", "/deviceName=Z"}, "deviceName", "Z"},
        SwitchCase{"LongerNameDoesNotMatch", {"/deviceNames=X"}, "deviceName", ""},
        SwitchCase{"ShorterNameDoesNotMatch", {"/deviceNam=X"}, "deviceName", ""},
        SwitchCase{"PrefixOfAnotherSwitch", {"/value=X", "/value0=Y"}, "value0", "Y"},
        SwitchCase{"NoEquals", {"/deviceNameX"}, "deviceName", ""},
        SwitchCase{"ValueHoldsEquals", {"/value0=a=b"}, "value0", "a=b"},
        SwitchCase{"ValueOfOneCharacter", {"/value0=="}, "value0", "="},
        SwitchCase{"ValueWithBlanks", {"/value0= My Disk "}, "value0", " My Disk "},
        SwitchCase{"ShortArgument", {"/", "/d", ""}, "deviceName", ""},
        // Letter case folds for ASCII only; other bytes compare as they are.
        SwitchCase{"NonAsciiIsExact", {"/ger\xc4t=X"}, "ger\xe4t", ""}),
    [](const testing::TestParamInfo<SwitchCase>& param) { return param.param.name; });

TEST(GetSwitchValueSetTest, AnyOfTheSwitchCharacters) {
  const Args arguments = {"-value0=dash", "/value0=slash"};
  EXPECT_EQ(GetSwitchValue(arguments, "value0", "-/"), "dash");
  EXPECT_EQ(GetSwitchValue(arguments, "value0", "/"), "slash");
  EXPECT_EQ(GetSwitchValue(arguments, "value0", ""), "");
}

TEST(GetSwitchValueSetTest, WorksOnSplitWindowsLine) {
  const Args arguments = SplitCommandLine(
      "\"C:\\Tools\\q.exe\" /deviceName=\"Wired Network\" /deviceCommand=setFriendlyName "
      "\"/value0=Uplink 2\"");
  EXPECT_EQ(GetSwitchValue(arguments, "deviceName", "/"), "Wired Network");
  EXPECT_EQ(GetSwitchValue(arguments, "deviceCommand", "/"), "setFriendlyName");
  EXPECT_EQ(GetSwitchValue(arguments, "value0", "/"), "Uplink 2");
}

}  // namespace
}  // namespace quillon::app
