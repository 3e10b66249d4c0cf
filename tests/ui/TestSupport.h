// Shared pieces of the window tests: a presenter that records error texts,
// a window over a fake service with its report log in a temporary folder.
#pragma once

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "ErrorPresenter.h"
#include "FakeDeviceService.h"
#include "MainFormUnit.h"

namespace quillon::ui::testing {

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

class RecordingPresenter final : public ErrorPresenter {
 public:
  void ShowError(const std::string& text) override { texts.push_back(text); }
  std::vector<std::string> texts;
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

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { service.devices = ThreeDevices(); }

  std::string ExecutablePath() const { return dir.filePath("quillon").toStdString(); }
  std::string LogPath() const { return dir.filePath("quillon.log").toStdString(); }

  TMainForm& Make() {
    form = std::make_unique<TMainForm>(service, errors, ExecutablePath());
    return *form;
  }

  std::string Field(QLineEdit* edit) const { return edit->text().toStdString(); }
  std::string Entry(int row) const { return form->ListBox1->item(row)->text().toStdString(); }

  QTemporaryDir dir;
  FakeDeviceService service;
  RecordingPresenter errors;
  std::unique_ptr<TMainForm> form;
};

}  // namespace quillon::ui::testing
