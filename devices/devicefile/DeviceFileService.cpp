#include "devices/devicefile/DeviceFileService.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "devices/DeviceText.h"
#include "devices/devicefile/DeviceFileModel.h"
#include "devices/devicefile/DeviceFileReading.h"
#include "devices/devicefile/DeviceFileStore.h"

namespace quillon::devices {

namespace {

using devicefile::Member;
using devicefile::Members;
using devicefile::Model;
using Document = nlohmann::ordered_json;
using devicefile::Operation;

constexpr std::uint32_t kInvalidRegProperty = 0xE0000209;
constexpr std::uint32_t kNoClassInstallParams = 0xE0000215;

bool SameGuid(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

class DeviceFileService final : public DeviceService {
 public:
  DeviceFileService(std::string path, std::ostream& diagnostics)
      : path_(std::move(path)), diagnostics_(diagnostics) {}

  HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator,
                                std::uint32_t flags) override {
    // Read at every open, so that a refresh shows edits made meanwhile.
    Model model;
    if (!Load(model))
      return nullptr;
    const std::uint32_t openError = model.openError;
    Adopt(std::move(model));
    if (openError != 0) {
      lastError_ = openError;
      return nullptr;
    }
    const bool byEnumerator = enumerator != nullptr && enumerator[0] != '\0';
    const bool byClass = classGuid != nullptr && (flags & DIGCF_ALLCLASSES) == 0;
    Set set;
    set.members = model_.members;
    const Members& members = *set.members;
    set.indices.reserve(members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
      const Member& member = members[i];
      if ((flags & DIGCF_PRESENT) != 0 && !member.present)
        continue;
      if (byEnumerator &&
          !EqualsIgnoringCase(devicefile::Enumerator(member.instanceId), enumerator)) {
        continue;
      }
      if (byClass && !SameGuid(member.classGuid, *classGuid))
        continue;
      set.indices.push_back(static_cast<std::uint32_t>(i));
    }
    // Handles are never reused, so a destroyed one stays invalid.
    const std::uintptr_t handle = nextHandle_;
    nextHandle_ += 0x10;
    sets_.emplace(handle, std::move(set));
    lastError_ = 0;
    return reinterpret_cast<HDEVINFO>(handle);
  }

  bool SetupDiEnumDeviceInfo(HDEVINFO handle, std::uint32_t memberIndex,
                             SP_DEVINFO_DATA* data) override {
    Set* set = FindSet(handle);
    if (set == nullptr)
      return Fail(error::kInvalidHandle);
    if (data == nullptr)
      return Fail(error::kInvalidParameter);
    if (data->cbSize != sizeof(SP_DEVINFO_DATA))
      return Fail(error::kInvalidUserBuffer);
    if (memberIndex >= set->indices.size())
      return Fail(error::kNoMoreItems);
    const Member& member = (*set->members)[set->indices[memberIndex]];
    data->ClassGuid = member.classGuid;
    data->DevInst = member.devInst;
    data->Reserved = std::uintptr_t{memberIndex} + 1;  // 0 marks a record not filled here
    return Succeed();
  }

  bool SetupDiGetDeviceInstanceIdA(HDEVINFO handle, const SP_DEVINFO_DATA* data, char* buffer,
                                   std::uint32_t bufferSize, std::uint32_t* requiredSize) override {
    const Located found = Locate(handle, data);
    if (found.member == nullptr)
      return false;
    if (const auto code = found.member->Failure(Operation::kInstanceId))
      return Fail(*code);
    return CopyText(found.member->instanceId, reinterpret_cast<std::uint8_t*>(buffer), bufferSize,
                    requiredSize);
  }

  bool SetupDiGetDeviceRegistryPropertyA(HDEVINFO handle, const SP_DEVINFO_DATA* data,
                                         std::uint32_t property, std::uint32_t* propertyRegDataType,
                                         std::uint8_t* buffer, std::uint32_t bufferSize,
                                         std::uint32_t* requiredSize) override {
    const Located found = Locate(handle, data);
    if (found.member == nullptr)
      return false;
    const Member& member = *found.member;
    const std::optional<std::string>* text = nullptr;
    std::optional<std::uint32_t> failure;
    if (property == SPDRP_HARDWAREID || property == SPDRP_COMPATIBLEIDS) {
      const auto& ids = property == SPDRP_HARDWAREID ? member.hardwareIds : member.compatibleIds;
      if (!ids || ids->empty())
        return Fail(error::kInvalidData);
      multi_.clear();  // its capacity kept from one device to the next
      for (const std::string& id : *ids)
        multi_.append(id).push_back('\0');
      if (propertyRegDataType != nullptr)
        *propertyRegDataType = REG_MULTI_SZ;
      return CopyText(multi_, buffer, bufferSize, requiredSize);
    }
    if (property == SPDRP_SERVICE) {
      text = &member.driver;
    } else if (property == kPropertyDriverModule) {
      text = &member.driverModule;
    } else if (property == SPDRP_LOCATION_INFORMATION) {
      text = &member.location;
    } else if (property == SPDRP_FRIENDLYNAME) {
      text = &member.friendlyName;
      failure = member.Failure(Operation::kFriendlyName);
    } else if (property == SPDRP_DEVICEDESC) {
      text = &member.description;
      failure = member.Failure(Operation::kDescription);
    } else {
      return Fail(kInvalidRegProperty);
    }
    if (failure)
      return Fail(*failure);
    if (!text->has_value())
      return Fail(error::kInvalidData);  // as for a missing property
    if (propertyRegDataType != nullptr)
      *propertyRegDataType = REG_SZ;
    return CopyText(**text, buffer, bufferSize, requiredSize);
  }

  bool SetupDiSetDeviceRegistryPropertyA(HDEVINFO handle, SP_DEVINFO_DATA* data,
                                         std::uint32_t property, const std::uint8_t* buffer,
                                         std::uint32_t bufferSize) override {
    const Located found = Locate(handle, data);
    if (found.member == nullptr)
      return false;
    if (property != SPDRP_FRIENDLYNAME)
      return Fail(kInvalidRegProperty);
    if (const auto code = found.member->Failure(Operation::kSetFriendlyName))
      return Fail(*code);
    if (buffer == nullptr && bufferSize != 0)
      return Fail(error::kInvalidParameter);
    // The text ends at its terminator, should the count include one.
    std::string name(reinterpret_cast<const char*>(buffer), bufferSize);
    name.resize(std::min(name.size(), name.find('\0')));
    // A name that could never be read back (at most 259 bytes fit the
    // readers' buffer), that would break a report line, or that the file
    // cannot hold as given (JSON text is UTF-8) is refused, never altered.
    if (name.size() >= kTextBufferSize || HasControlCharacter(name) || !IsValidUtf8(name)) {
      return Fail(error::kInvalidParameter);
    }
    return Change(*found.member, [&name](Model& model, Document& document, std::size_t index) {
      devicefile::StoreFriendlyName(model, document, index, name);
    });
  }

  bool SetupDiSetClassInstallParamsA(HDEVINFO handle, SP_DEVINFO_DATA* data,
                                     const SP_CLASSINSTALL_HEADER* params,
                                     std::uint32_t paramsSize) override {
    const Located found = Locate(handle, data);
    if (found.member == nullptr)
      return false;
    if (const auto code = found.member->Failure(Operation::kSetClassInstallParams)) {
      return Fail(*code);
    }
    if (params == nullptr) {  // clears what was attached
      if (paramsSize != 0)
        return Fail(error::kInvalidParameter);
      found.set->params.erase(found.index);
      return Succeed();
    }
    if (params->cbSize != sizeof(SP_CLASSINSTALL_HEADER))
      return Fail(error::kInvalidUserBuffer);
    if (params->InstallFunction != DIF_PROPERTYCHANGE ||
        paramsSize != sizeof(SP_PROPCHANGE_PARAMS)) {
      return Fail(error::kInvalidParameter);
    }
    SP_PROPCHANGE_PARAMS change{};
    std::memcpy(&change, params, sizeof change);
    switch (change.StateChange) {
      case DICS_ENABLE:
      case DICS_DISABLE:
      case DICS_START:
      case DICS_STOP:
        break;
      default:
        return Fail(error::kInvalidParameter);
    }
    found.set->params[found.index] = change;
    return Succeed();
  }

  bool SetupDiCallClassInstaller(std::uint32_t installFunction, HDEVINFO handle,
                                 SP_DEVINFO_DATA* data) override {
    const Located found = Locate(handle, data);
    if (found.member == nullptr)
      return false;
    if (const auto code = found.member->Failure(Operation::kCallClassInstaller)) {
      return Fail(*code);
    }
    if (installFunction != DIF_PROPERTYCHANGE)
      return Fail(error::kNotSupported);
    const auto params = found.set->params.find(found.index);
    if (params == found.set->params.end())
      return Fail(kNoClassInstallParams);
    const std::uint32_t stateChange = params->second.StateChange;
    return Change(*found.member,
                  [stateChange](Model& model, Document& document, std::size_t index) {
                    const Member& member = (*model.members)[index];
                    std::uint32_t status = member.status;
                    std::uint32_t problem = member.problem;
                    switch (stateChange) {
                      case DICS_ENABLE:
                        problem = 0;
                        status = (status | DN_STARTED) & ~DN_HAS_PROBLEM;
                        break;
                      case DICS_DISABLE:
                        problem = CM_PROB_DISABLED;
                        status = (status & ~DN_STARTED) | DN_HAS_PROBLEM;
                        break;
                      case DICS_START:
                        status |= DN_STARTED;
                        break;
                      case DICS_STOP:
                        status &= ~DN_STARTED;
                        break;
                      default:
                        break;
                    }
                    devicefile::StoreState(model, document, index, status, problem);
                  });
  }

  std::uint32_t CM_Get_DevNode_Status(std::uint32_t* status, std::uint32_t* problemNumber,
                                      std::uint32_t devInst, std::uint32_t) override {
    if (status == nullptr || problemNumber == nullptr)
      return CR_INVALID_POINTER;
    const Member* member = FindPresent(devInst);
    if (member == nullptr)
      return CR_NO_SUCH_DEVINST;
    if (const auto code = member->Failure(Operation::kStatus))
      return *code;
    *status = member->status;
    *problemNumber = member->problem;
    return CR_SUCCESS;
  }

  std::uint32_t CM_Get_Parent(std::uint32_t* parent, std::uint32_t devInst,
                              std::uint32_t) override {
    if (parent == nullptr)
      return CR_INVALID_POINTER;
    const Member* member = FindPresent(devInst);
    if (const auto outsider = outsiders_.find(devInst);
        member == nullptr && outsider != outsiders_.end()) {
      // A node above the present ones may be written as an absent member
      // that names its own parent.
      member = FindById(outsider->second);
      if (member == nullptr || member->present)
        return CR_NO_SUCH_DEVINST;
    }
    if (member == nullptr || !member->parentId)
      return CR_NO_SUCH_DEVINST;
    const std::string& id = *member->parentId;
    // Siblings follow each other in most files: their parent is found once.
    // Their IDs are mostly written alike: the exact comparison is the quicker.
    if (lastParent_ && (lastParent_->first == id || EqualsIgnoringCase(lastParent_->first, id))) {
      *parent = lastParent_->second;
      return CR_SUCCESS;
    }
    if (const Member* found = FindById(id); found != nullptr && found->present) {
      lastParent_.emplace(found->instanceId, found->devInst);
      *parent = found->devInst;
      return CR_SUCCESS;
    }
    // A parent the file does not list as present still has a handle, one no
    // present member holds, so that its children are grouped under it.
    if (const auto known = outsiderHandles_.find(id); known != outsiderHandles_.end()) {
      *parent = known->second;
      return CR_SUCCESS;
    }
    const std::string outsiderId = id;  // `id` lives in the model, which may be read again
    std::uint32_t handle = 0xF0000000 + static_cast<std::uint32_t>(outsiders_.size());
    while (FindPresent(handle) != nullptr || outsiders_.count(handle) != 0)
      ++handle;
    outsiders_.emplace(handle, outsiderId);
    outsiderHandles_.emplace(outsiderId, handle);
    *parent = handle;
    return CR_SUCCESS;
  }

  std::uint32_t CM_Get_Device_IDA(std::uint32_t devInst, char* buffer, std::uint32_t bufferLength,
                                  std::uint32_t) override {
    if (buffer == nullptr)
      return CR_INVALID_POINTER;
    const std::string* id = nullptr;
    if (const Member* member = FindPresent(devInst))
      id = &member->instanceId;
    else if (const auto outsider = outsiders_.find(devInst); outsider != outsiders_.end())
      id = &outsider->second;
    if (id == nullptr)
      return CR_NO_SUCH_DEVINST;
    std::memcpy(buffer, id->data(), std::min<std::size_t>(id->size(), bufferLength));
    if (bufferLength <= id->size())
      return CR_BUFFER_SMALL;
    buffer[id->size()] = '\0';
    return CR_SUCCESS;
  }

  bool SetupDiDestroyDeviceInfoList(HDEVINFO handle) override {
    if (sets_.erase(reinterpret_cast<std::uintptr_t>(handle)) == 0) {
      return Fail(error::kInvalidHandle);
    }
    return Succeed();
  }

  std::uint32_t GetLastError() const override { return lastError_; }

 private:
  // An open set: the members of the file as it was opened (shared with
  // other sets of that reading), the indices of those it holds, and the
  // parameters attached to some, by position in the set.
  struct Set {
    std::shared_ptr<Members> members;
    std::vector<std::uint32_t> indices;
    std::map<std::size_t, SP_PROPCHANGE_PARAMS> params;
  };

  struct Located {
    Set* set = nullptr;
    std::size_t index = 0;
    Member* member = nullptr;
  };

  bool Fail(std::uint32_t code) {
    lastError_ = code;
    return false;
  }
  bool Succeed() {
    lastError_ = 0;
    return true;
  }

  Set* FindSet(HDEVINFO handle) {
    const auto it = sets_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == sets_.end() ? nullptr : &it->second;
  }

  // The member a record names; sets the last error when there is none.
  Located Locate(HDEVINFO handle, const SP_DEVINFO_DATA* data) {
    Set* set = FindSet(handle);
    if (set == nullptr) {
      Fail(error::kInvalidHandle);
      return {};
    }
    if (data == nullptr) {
      Fail(error::kInvalidParameter);
      return {};
    }
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
      Fail(error::kInvalidUserBuffer);
      return {};
    }
    if (data->Reserved == 0 || data->Reserved > set->indices.size()) {
      Fail(error::kInvalidParameter);
      return {};
    }
    const std::size_t index = data->Reserved - 1;
    return {set, index, &(*set->members)[set->indices[index]]};
  }

  bool CopyText(const std::string& text, std::uint8_t* buffer, std::uint32_t bufferSize,
                std::uint32_t* requiredSize) {
    const std::size_t needed = text.size() + 1;
    if (requiredSize != nullptr)
      *requiredSize = static_cast<std::uint32_t>(needed);
    if (bufferSize < needed)
      return Fail(error::kInsufficientBuffer);
    if (buffer == nullptr)
      return Fail(error::kInvalidParameter);
    std::memcpy(buffer, text.c_str(), needed);
    return Succeed();
  }

  // Reads and checks the file, keeping its document when one is asked for;
  // explains a failure on the diagnostics stream.
  bool Load(Model& model, Document* document = nullptr) {
    std::string text;
    devicefile::FileError fileError;
    if (!devicefile::ReadWholeFile(path_, text, fileError)) {
      diagnostics_ << path_ << ": " << fileError.message << '\n';
      return Fail(fileError.code);
    }
    devicefile::ParseError parseError;
    bool parsed = false;
    try {
      parsed = document != nullptr
                   ? devicefile::ParseDeviceDocument(text, model, *document, parseError)
                   : devicefile::ParseDeviceFile(text, model, parseError);
    } catch (const std::exception& exception) {
      // Memory ran out for a file within the size limit: as broken as any.
      parseError = {1, std::string("cannot be held in memory (") + exception.what() + ")"};
    }
    if (!parsed) {
      diagnostics_ << path_ << ':' << parseError.line << ": " << parseError.reason << '\n';
      return Fail(error::kInvalidData);
    }
    return true;
  }

  // Applies a change to the file as it is now, so that edits made by others
  // since the open are kept, and writes it back. Memory follows only once the
  // file has been written. Other changers wait meanwhile, so that none of
  // them rewrites the file from a reading older than this change.
  template <typename Edit>
  bool Change(const Member& target, Edit edit) {
    // A copy: the target itself is rewritten below.
    const std::string instanceId = target.instanceId;
    devicefile::ChangeLock lock;
    devicefile::FileError lockError;
    if (!lock.Acquire(path_, lockError)) {
      diagnostics_ << path_ << ": " << lockError.message << '\n';
      return Fail(lockError.code);
    }
    Model model;
    Document document;
    if (!Load(model, &document))
      return false;
    Members& members = *model.members;
    const auto member =
        std::find_if(members.begin(), members.end(), [&instanceId](const Member& m) {
          return m.present && EqualsIgnoringCase(m.instanceId, instanceId);
        });
    if (member == members.end())
      return Fail(error::kNoSuchDevinst);
    const auto index = static_cast<std::size_t>(member - members.begin());
    edit(model, document, index);
    std::string text;
    if (!devicefile::SerializeDocument(document, text))
      return Fail(error::kInvalidData);
    devicefile::FileError fileError;
    if (!devicefile::ReplaceFileContent(lock, path_, text, fileError)) {
      diagnostics_ << path_ << ": " << fileError.message << '\n';
      return Fail(fileError.code);
    }
    // Open sets keep the file as they saw it, but show this node's change.
    const Member& changed = members[index];
    std::vector<const Members*> updated;
    for (auto& entry : sets_) {
      Members& snapshot = *entry.second.members;
      if (std::find(updated.begin(), updated.end(), &snapshot) != updated.end())
        continue;
      updated.push_back(&snapshot);
      for (Member& copy : snapshot) {
        if (EqualsIgnoringCase(copy.instanceId, changed.instanceId))
          copy = changed;
      }
    }
    Adopt(std::move(model));
    return Succeed();
  }

  void Adopt(Model model) {
    model_ = std::move(model);
    lastPresent_.reset();
    lastParent_.reset();
  }

  // The present member with this handle. A lister asks for one device's
  // status and then its parent: the last answer is kept for the second.
  const Member* FindPresent(std::uint32_t devInst) {
    if (!lastPresent_ || lastPresent_->first != devInst)
      lastPresent_.emplace(devInst, model_.FindPresent(devInst));
    return lastPresent_->second;
  }

  // The member of the file last read with this instance ID (ignoring case).
  const Member* FindById(std::string_view id) const { return model_.FindById(id); }

  std::string path_;
  std::ostream& diagnostics_;
  // The parent found last, as a view into model_, and its handle.
  std::optional<std::pair<std::string_view, std::uint32_t>> lastParent_;
  std::string multi_;  // an ID list as the property reads it
  Model model_;        // the file as last read or written; the status query reads it
  // FindPresent's last handle and answer, for model_.
  std::optional<std::pair<std::uint32_t, const Member*>> lastPresent_;
  std::map<std::uintptr_t, Set> sets_;
  std::uintptr_t nextHandle_ = 0x1000;
  // Parents named by members but not present in the file, by the handle
  // they were given.
  std::map<std::uint32_t, std::string> outsiders_;
  std::unordered_map<std::string, std::uint32_t, HashIgnoringCase, EqualIgnoringCase>
      outsiderHandles_;  // the same, by instance ID
  std::uint32_t lastError_ = 0;
};

}  // namespace

std::unique_ptr<DeviceService> MakeDeviceFileService(const std::string& path,
                                                     std::ostream& diagnostics) {
  return std::make_unique<DeviceFileService>(path, diagnostics);
}

}  // namespace quillon::devices
