#include "SysfsService.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "DeviceText.h"
#include "SysfsClasses.h"
#include "SysfsCollect.h"
#include "SysfsDescriptions.h"
#include "SysfsNode.h"
#include "SysfsState.h"
#include "SysfsTree.h"

namespace quillon::devices {

namespace {

using sysfs::IdDatabases;
using sysfs::Node;
using sysfs::NodeLocation;
using sysfs::RootChain;
using sysfs::SysfsTree;

// One member of an open set. What it shows is read on first use and kept
// for the life of the set; only the status is read afresh every time.
struct Member {
  Node node;
  std::string instanceId;
  std::uint32_t devInst = 0;
  std::optional<GUID> classGuid;
  std::optional<std::optional<std::string>> description;
  std::optional<std::optional<std::string>> friendlyName;
  std::optional<SP_PROPCHANGE_PARAMS> installParams;
};

struct DeviceSet {
  explicit DeviceSet(const std::string& root) : tree(root) {}
  SysfsTree tree;  // the members' nodes refer to it
  std::vector<Member> members;
};

class SysfsService final : public DeviceService {
 public:
  explicit SysfsService(SysfsOptions options)
      : options_(std::move(options)), databases_(options_.root) {}

  HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator,
                                std::uint32_t flags) override {
    const bool allClasses = (flags & DIGCF_ALLCLASSES) != 0;
    if (classGuid == nullptr && !allClasses)
      return Fail<HDEVINFO>(error::kInvalidParameter, nullptr);
    auto set = std::make_unique<DeviceSet>(options_.root);
    if (!set->tree.Ok())
      return Fail<HDEVINFO>(error::kPathNotFound, nullptr);
    const std::string_view wanted = enumerator != nullptr ? enumerator : "";
    std::unordered_set<std::string> idsInSet;
    for (NodeLocation& location : sysfs::CollectNodes(set->tree)) {
      Member member{Node(set->tree, std::move(location)), {}, 0, {}, {}, {}, {}};
      member.instanceId = UniqueId(sysfs::InstanceId(member.node), idsInSet);
      // Handles are handed out for every node seen, filtered or not, so a
      // node keeps its handle whatever the caller asks for.
      member.devInst = HandleFor(member.instanceId, member.node.Location());
      if (!wanted.empty() && !EqualsIgnoringCase(sysfs::Enumerator(member.node), wanted))
        continue;
      if (!allClasses) {
        const GUID guid = ClassOf(member);
        if (std::memcmp(&guid, classGuid, sizeof(GUID)) != 0)
          continue;
      }
      set->members.push_back(std::move(member));
    }
    auto* handle = reinterpret_cast<HDEVINFO>(set.get());
    sets_.push_back(std::move(set));
    return handle;
  }

  bool SetupDiEnumDeviceInfo(HDEVINFO handle, std::uint32_t memberIndex,
                             SP_DEVINFO_DATA* data) override {
    DeviceSet* set = FindSet(handle);
    if (set == nullptr)
      return Fail(error::kInvalidHandle, false);
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
      return Fail(error::kInvalidUserBuffer, false);
    }
    if (memberIndex >= set->members.size())
      return Fail(error::kNoMoreItems, false);
    Member& member = set->members[memberIndex];
    data->ClassGuid = ClassOf(member);
    data->DevInst = member.devInst;
    data->Reserved = std::uintptr_t{memberIndex} + 1;
    return true;
  }

  bool SetupDiGetDeviceInstanceIdA(HDEVINFO handle, const SP_DEVINFO_DATA* data, char* buffer,
                                   std::uint32_t bufferSize, std::uint32_t* requiredSize) override {
    const Member* member = FindMember(handle, data);
    if (member == nullptr)
      return false;
    return CopyText(member->instanceId, reinterpret_cast<std::uint8_t*>(buffer), bufferSize,
                    requiredSize);
  }

  bool SetupDiGetDeviceRegistryPropertyA(HDEVINFO handle, const SP_DEVINFO_DATA* data,
                                         std::uint32_t property, std::uint32_t* propertyRegDataType,
                                         std::uint8_t* buffer, std::uint32_t bufferSize,
                                         std::uint32_t* requiredSize) override {
    Member* member = FindMember(handle, data);
    if (member == nullptr)
      return false;
    const std::optional<std::string>* text = nullptr;
    if (property == SPDRP_DEVICEDESC) {
      if (!member->description) {
        member->description = sysfs::Description(member->node, databases_);
      }
      text = &*member->description;
    } else if (property == SPDRP_FRIENDLYNAME) {
      if (!member->friendlyName)
        member->friendlyName = sysfs::FriendlyName(member->node);
      text = &*member->friendlyName;
    }
    if (text == nullptr || !text->has_value())
      return Fail(error::kInvalidData, false);
    if (propertyRegDataType != nullptr)
      *propertyRegDataType = REG_SZ;
    return CopyText(**text, buffer, bufferSize, requiredSize);
  }

  bool SetupDiSetDeviceRegistryPropertyA(HDEVINFO handle, SP_DEVINFO_DATA* data, std::uint32_t,
                                         const std::uint8_t*, std::uint32_t) override {
    if (FindMember(handle, data) == nullptr)
      return false;
    return Fail(error::kNotSupported, false);
  }

  bool SetupDiSetClassInstallParamsA(HDEVINFO handle, SP_DEVINFO_DATA* data,
                                     const SP_CLASSINSTALL_HEADER* params,
                                     std::uint32_t paramsSize) override {
    Member* member = FindMember(handle, data);
    if (member == nullptr)
      return false;
    if (params == nullptr) {
      member->installParams.reset();
      return true;
    }
    if (paramsSize != sizeof(SP_PROPCHANGE_PARAMS) ||
        params->cbSize != sizeof(SP_CLASSINSTALL_HEADER) ||
        params->InstallFunction != DIF_PROPERTYCHANGE) {
      return Fail(error::kInvalidParameter, false);
    }
    SP_PROPCHANGE_PARAMS stored{};
    std::memcpy(&stored, params, sizeof(stored));
    member->installParams = stored;
    return true;
  }

  // Changing a device needs a writer, which this backend does not have yet.
  bool SetupDiCallClassInstaller(std::uint32_t, HDEVINFO handle, SP_DEVINFO_DATA* data) override {
    if (FindMember(handle, data) == nullptr)
      return false;
    return Fail(error::kNotSupported, false);
  }

  std::uint32_t CM_Get_DevNode_Status(std::uint32_t* status, std::uint32_t* problemNumber,
                                      std::uint32_t devInst, std::uint32_t) override {
    if (status == nullptr || problemNumber == nullptr) {
      lastError_ = error::kInvalidParameter;
      return CR_INVALID_POINTER;
    }
    if (devInst == 0 || devInst > known_.size())
      return NoSuchDevinst();
    const NodeLocation& location = known_[devInst - 1];
    // Read the node afresh: someone else may have changed it since the set
    // was opened, or it may be gone.
    const SysfsTree tree = Root().Fresh();
    if (tree.Resolve(location.path) != location.path)
      return NoSuchDevinst();
    const Node node(tree, location);
    const sysfs::NodeState state = sysfs::ReadState(node, Chain(tree));
    *status = state.status;
    *problemNumber = state.problem;
    return CR_SUCCESS;
  }

  bool SetupDiDestroyDeviceInfoList(HDEVINFO handle) override {
    const auto found = std::find_if(sets_.begin(), sets_.end(), [&](const auto& set) {
      return reinterpret_cast<HDEVINFO>(set.get()) == handle;
    });
    if (found == sets_.end())
      return Fail(error::kInvalidHandle, false);
    sets_.erase(found);
    return true;
  }

  std::uint32_t GetLastError() const override { return lastError_; }

 private:
  template <typename T>
  T Fail(std::uint32_t code, T result) {
    lastError_ = code;
    return result;
  }

  std::uint32_t NoSuchDevinst() {
    lastError_ = error::kNoSuchDevinst;
    return CR_NO_SUCH_DEVINST;
  }

  // 1, 2, 3, ... in the order IDs are first seen; never reused.
  std::uint32_t HandleFor(const std::string& instanceId, const NodeLocation& location) {
    const auto [entry, added] =
        handles_.emplace(instanceId, static_cast<std::uint32_t>(known_.size() + 1));
    if (added) {
      known_.push_back(location);
    } else {
      known_[entry->second - 1] = location;
    }
    return entry->second;
  }

  // Two nodes never share an ID within a set (and so never a handle).
  static std::string UniqueId(std::string id, std::unordered_set<std::string>& taken) {
    if (taken.insert(id).second)
      return id;
    for (int suffix = 2;; ++suffix) {
      std::string candidate = id + "_" + std::to_string(suffix);
      if (taken.insert(candidate).second)
        return candidate;
    }
  }

  GUID ClassOf(Member& member) {
    if (!member.classGuid) {
      member.classGuid = sysfs::SetupClassGuid(sysfs::SetupClassName(member.node));
    }
    return *member.classGuid;
  }

  // <root>/sys found once; a tree that was not there is looked for again.
  const SysfsTree& Root() {
    if (!root_ || !root_->Ok())
      root_.emplace(options_.root);
    return *root_;
  }

  const RootChain& Chain(const SysfsTree& tree) {
    if (!chain_) {
      std::string device;
      if (options_.rootDevice) {
        device = *options_.rootDevice;
      } else if (options_.root.empty()) {
        device = sysfs::RootDeviceNumber();
      }
      chain_.emplace(tree, device);
    }
    return *chain_;
  }

  DeviceSet* FindSet(HDEVINFO handle) {
    for (const auto& set : sets_) {
      if (reinterpret_cast<HDEVINFO>(set.get()) == handle)
        return set.get();
    }
    return nullptr;
  }

  Member* FindMember(HDEVINFO handle, const SP_DEVINFO_DATA* data) {
    DeviceSet* set = FindSet(handle);
    if (set == nullptr)
      return Fail<Member*>(error::kInvalidHandle, nullptr);
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
      return Fail<Member*>(error::kInvalidUserBuffer, nullptr);
    }
    const std::uintptr_t index = data->Reserved - 1;
    if (index < set->members.size() && set->members[index].devInst == data->DevInst) {
      return &set->members[index];
    }
    for (Member& member : set->members) {
      if (member.devInst == data->DevInst)
        return &member;
    }
    return Fail<Member*>(error::kInvalidParameter, nullptr);
  }

  bool CopyText(const std::string& text, std::uint8_t* buffer, std::uint32_t bufferSize,
                std::uint32_t* requiredSize) {
    const auto needed = static_cast<std::uint32_t>(text.size() + 1);
    if (requiredSize != nullptr)
      *requiredSize = needed;
    if (buffer == nullptr || bufferSize < needed)
      return Fail(error::kInsufficientBuffer, false);
    std::memcpy(buffer, text.c_str(), needed);
    return true;
  }

  SysfsOptions options_;
  IdDatabases databases_;
  std::optional<RootChain> chain_;
  std::optional<SysfsTree> root_;
  std::unordered_map<std::string, std::uint32_t> handles_;
  std::vector<NodeLocation> known_;  // by handle - 1: where the node was last seen
  std::vector<std::unique_ptr<DeviceSet>> sets_;
  std::uint32_t lastError_ = 0;
};

}  // namespace

std::unique_ptr<DeviceService> MakeSysfsService(const std::string& root) {
  return MakeSysfsService(SysfsOptions{root, std::nullopt});
}

std::unique_ptr<DeviceService> MakeSysfsService(const SysfsOptions& options) {
  return std::make_unique<SysfsService>(options);
}

}  // namespace quillon::devices
