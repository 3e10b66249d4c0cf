#include "os/AtomicFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace quillon::devices {
namespace {

namespace fs = std::filesystem;

class AtomicFile : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("quillon-atomic-" +
            std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directory(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  static std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // The folder's names, to see that no temporary file stays.
  std::string Names() const {
    std::string names;
    for (const auto& entry : fs::directory_iterator(dir_))
      names += entry.path().filename().string() + " ";
    return names;
  }
  fs::path dir_;
};

TEST_F(AtomicFile, ReplacesTheWholeContentAndLeavesNothingBeside) {
  const fs::path target = dir_ / "data.json";
  EXPECT_EQ(HiddenTemporaryPrefix(target), fs::path(".data.json.tmp-"));
  for (const std::string& text : {std::string("first"), std::string(), std::string(100000, 'x')}) {
    EXPECT_FALSE(WriteFileAtomically(target, text, {HiddenTemporaryPrefix(target), std::nullopt}));
    EXPECT_EQ(Read(target), text);
    EXPECT_EQ(Names(), "data.json ");
  }
  // Nothing is created where the folder is missing, and the step is told.
  const auto failure = WriteFileAtomically(dir_ / "none" / "x", "text", {".x.tmp-", std::nullopt});
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->step, AtomicStep::kCreate);
  EXPECT_FALSE(AtomicErrorText(failure->code).empty());
}

#ifndef _WIN32
TEST_F(AtomicFile, PermissionsAreKeptOrGivenAndALinkIsReplaced) {
  const fs::path target = dir_ / "data.json";
  const mode_t mask = ::umask(022);
  EXPECT_FALSE(WriteFileAtomically(target, "new", {".t-", std::nullopt}));
  EXPECT_EQ(fs::status(target).permissions(), fs::perms(0644));
  fs::permissions(target, fs::perms(0640));
  EXPECT_FALSE(WriteFileAtomically(target, "kept", {".t-", std::nullopt}));
  EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));
  EXPECT_FALSE(WriteFileAtomically(target, "given", {".t-", 0600}));
  EXPECT_EQ(fs::status(target).permissions(), fs::perms(0600));
  ::umask(mask);
  // A link at the target is replaced, never written through.
  std::ofstream(dir_ / "other") << "other";
  fs::create_symlink("other", dir_ / "link");
  EXPECT_FALSE(WriteFileAtomically(dir_ / "link", "file", {".t-", std::nullopt}));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_ / "link")));
  EXPECT_EQ(Read(dir_ / "other"), "other");
}
#endif

}  // namespace
}  // namespace quillon::devices
