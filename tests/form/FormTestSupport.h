// Shared pieces of the form and window tests: a presenter that records error
// texts, a form over a fake service with its report log in a temporary
// folder. No Qt: the form runs without a window system.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "form/ErrorPresenter.h"
#include "form/MainFormUnit.h"
#include "tests/form/FakeDeviceService.h"

namespace quillon::ui::testing {

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// A fresh directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillon-ui-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr)
      path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string filePath(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

class RecordingPresenter final : public ErrorPresenter {
 public:
  void ShowError(const std::string& text) override { texts.push_back(text); }
  std::vector<std::string> texts;
};

// Counts the hourglass's pushes and how deep it stands.
class CountingCursor final : public ScreenCursor {
 public:
  void PushHourglass() override {
    ++pushes;
    ++depth;
  }
  void Pop() override { --depth; }
  int pushes = 0;
  int depth = 0;
};

// Three devices: a friendly name, only a description, neither.
inline std::vector<FakeDevice> ThreeDevices() {
  FakeDevice uplink;
  uplink.instanceId = "PCI\\VEN_1AF4&DEV_1041\\3";
  uplink.friendlyName = "Uplink";
  uplink.description = "Virtio network device";
  uplink.classGuid = {0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
  uplink.devInst = 3;
  FakeDevice disk;
  disk.instanceId = "SCSI\\DISK\\0";
  disk.description = "Virtio block device";
  disk.devInst = 7;
  disk.problem = 22;
  disk.status = 0x01802400;
  FakeDevice bare;
  bare.instanceId = "ROOT\\BARE\\0";
  bare.devInst = 0x80000001;
  return {uplink, disk, bare};
}

class FormTest : public ::testing::Test {
 protected:
  void SetUp() override { service.devices = ThreeDevices(); }

  std::string ExecutablePath() const { return dir.filePath("quillon"); }
  std::string LogPath() const { return dir.filePath("quillon.log"); }
  ReportLogTarget LogBesideExecutable() const {
    return ReportLogTarget::BesideExecutable(ExecutablePath());
  }

  virtual TMainForm& Make() {
    form = std::make_unique<TMainForm>(service, errors, LogBesideExecutable(), &cursor);
    return *form;
  }

  std::string Field(const TEdit& edit) const { return edit.Text(); }
  std::string Entry(int row) const { return form->ListBox1.Item(row); }

  TempDir dir;
  FakeDeviceService service;
  RecordingPresenter errors;
  CountingCursor cursor;
  std::unique_ptr<TMainForm> form;
};

}  // namespace quillon::ui::testing
