#include "devices/sysfs/SysfsService.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "devices/DeviceText.h"
#include "devices/sysfs/ChangeRequest.h"
#include "devices/sysfs/SysfsChange.h"
#include "devices/sysfs/SysfsClasses.h"
#include "devices/sysfs/SysfsCollect.h"
#include "devices/sysfs/SysfsDescriptions.h"
#include "devices/sysfs/SysfsGuard.h"
#include "devices/sysfs/SysfsIdentity.h"
#include "devices/sysfs/SysfsNode.h"
#include "devices/sysfs/SysfsParse.h"
#include "devices/sysfs/SysfsState.h"
#include "devices/sysfs/SysfsTree.h"

namespace quillon::devices {

namespace {

using sysfs::IdDatabases;
using sysfs::Node;
using sysfs::NodeLocation;
using sysfs::SysfsTree;

// One member of an open set. What it shows is read on first use and kept
// for the life of the set, or until a change to it; the status is read
// afresh every time.
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
  // Kernel modules by bus and driver name: one driver serves many nodes, so
  // its module link is read once a set.
  std::unordered_map<std::string, std::optional<std::string>> modules;
};

// The kernel module of the node's driver, read through the first node of
// the set bound to that driver.
std::optional<std::string> ModuleOf(DeviceSet& set, const Node& node) {
  const std::optional<std::string>& driver = node.Driver();
  // Disks and partitions stand for a node of another bus: read alone.
  if (!driver || node.Bus().empty() || node.Bus() == "block")
    return sysfs::DriverModule(node);
  const std::string key = node.Bus() + '/' + *driver;
  if (const auto known = set.modules.find(key); known != set.modules.end())
    return known->second;
  // Kept only once the driver's folder was found: a node gone meanwhile
  // decides nothing for the others.
  const auto folder = node.Tree().Child(node.Path(), "driver");
  if (!folder)
    return std::nullopt;
  return set.modules.emplace(key, node.Tree().LinkName(*folder, "module")).first->second;
}

class SysfsService final : public DeviceService {
 public:
  explicit SysfsService(SysfsOptions options)
      : options_(std::move(options)), databases_(options_.root), drivers_(options_.root) {
    if (!options_.writer)
      options_.writer = sysfs::MakeKernelWriter();
  }

  HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator,
                                std::uint32_t flags) override {
    const bool allClasses = (flags & DIGCF_ALLCLASSES) != 0;
    if (classGuid == nullptr && !allClasses)
      return Fail<HDEVINFO>(error::kInvalidParameter, nullptr);
    auto set = std::make_unique<DeviceSet>(options_.root);
    // Statuses read from now on see what is mounted now.
    statusGuard_.reset();
    set->tree.SetReadsUevents(options_.readUevents);
    if (!set->tree.Ok())
      return Fail<HDEVINFO>(error::kPathNotFound, nullptr);
    const std::string_view wanted = enumerator != nullptr ? enumerator : "";
    std::vector<Member>& members = set->members;
    {
      std::vector<NodeLocation> locations = sysfs::CollectNodes(set->tree);
      members.reserve(locations.size());
      for (NodeLocation& location : locations) {
        Member& member = members.emplace_back(
            Member{Node(set->tree, std::move(location)), {}, 0, {}, {}, {}, {}});
        member.instanceId = sysfs::InstanceId(member.node);
      }
    }
    const std::vector<std::pair<std::size_t, std::string>> twins = AssignTwinIds(members);
    auto twin = twins.begin();
    // Handles are handed out for every node seen, filtered or not, so a
    // node keeps its handle whatever the caller asks for.
    for (std::size_t i = 0; i < members.size(); ++i) {
      Member& member = members[i];
      member.devInst = HandleFor(member.instanceId, member.node.Location(),
                                 set->tree.KnownListing(member.node.Path()));
      if (twin != twins.end() && twin->first == i)
        twinBases_[member.devInst] = (twin++)->second;
      else if (!twinBases_.empty())
        twinBases_.erase(member.devInst);
    }
    // Those not asked for leave in place: one vector of members, not two,
    // on a machine of many nodes.
    members.erase(std::remove_if(members.begin(), members.end(),
                                 [&](Member& member) {
                                   if (!wanted.empty() &&
                                       !EqualsIgnoringCase(sysfs::Enumerator(member.node), wanted))
                                     return true;
                                   if (allClasses)
                                     return false;
                                   const GUID guid = ClassOf(member);
                                   return std::memcmp(&guid, classGuid, sizeof(GUID)) != 0;
                                 }),
                  members.end());
    if (members.size() < members.capacity() / 2)
      members.shrink_to_fit();
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
    if (property == SPDRP_HARDWAREID || property == SPDRP_COMPATIBLEIDS) {
      const sysfs::NodeIds ids = sysfs::IdsOf(member->node, member->instanceId);
      const auto& list = property == SPDRP_HARDWAREID ? ids.hardware : ids.compatible;
      if (list.empty())
        return Fail(error::kInvalidData, false);
      std::string multi;
      for (const std::string& id : list)
        multi.append(id).push_back('\0');
      if (propertyRegDataType != nullptr)
        *propertyRegDataType = REG_MULTI_SZ;
      return CopyText(multi, buffer, bufferSize, requiredSize);
    }
    std::optional<std::string> other;
    // Read through the set's tree, made at the open: a driver bound since
    // then is seen by a set opened later (a watch opens one on "bind").
    if (property == SPDRP_SERVICE)
      other = member->node.Tree().LinkName(member->node.Path(), "driver");
    else if (property == kPropertyDriverModule)
      other = ModuleOf(*FindSet(handle), member->node);
    else if (property == SPDRP_LOCATION_INFORMATION)
      other = sysfs::SysfsLocation(member->node);
    const std::optional<std::string>* text = &other;
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

  bool SetupDiSetDeviceRegistryPropertyA(HDEVINFO handle, SP_DEVINFO_DATA* data,
                                         std::uint32_t property, const std::uint8_t* buffer,
                                         std::uint32_t bufferSize) override {
    Member* member = FindMember(handle, data);
    if (member == nullptr)
      return false;
    if (property != SPDRP_FRIENDLYNAME)
      return Fail(error::kInvalidRegProperty, false);
    if (buffer == nullptr && bufferSize != 0)
      return Fail(error::kInvalidParameter, false);
    // The text ends at its terminator, should the count include one.
    std::string_view text(reinterpret_cast<const char*>(buffer), bufferSize);
    text = text.substr(0, text.find('\0'));
    const sysfs::ChangeRequest request{
        sysfs::ChangeOperation::kFriendlyName, member->instanceId, std::string(text), {}};
    return Changed(*member, request,
                   [&](const Node& node) { return sysfs::SetFriendlyName(node, text, Target()); });
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
    if (stored.StateChange != DICS_ENABLE && stored.StateChange != DICS_DISABLE &&
        stored.StateChange != DICS_START && stored.StateChange != DICS_STOP) {
      return Fail(error::kInvalidParameter, false);
    }
    member->installParams = stored;
    return true;
  }

  bool SetupDiCallClassInstaller(std::uint32_t installFunction, HDEVINFO handle,
                                 SP_DEVINFO_DATA* data) override {
    Member* member = FindMember(handle, data);
    if (member == nullptr)
      return false;
    if (installFunction != DIF_PROPERTYCHANGE)
      return Fail(error::kNotSupported, false);
    if (!member->installParams)
      return Fail(error::kNoClassInstallParams, false);
    const std::uint32_t stateChange = member->installParams->StateChange;
    const std::optional<sysfs::ChangeOperation> operation =
        sysfs::OperationOfStateChange(stateChange);
    if (!operation)
      return Fail(error::kInvalidParameter, false);
    const sysfs::ChangeRequest request{*operation, member->instanceId, {}, {}};
    return Changed(*member, request, [&](const Node& node) {
      // What the node holds is read afresh for a change.
      const sysfs::Guard guard(node.Tree(), GuardInputs());
      return sysfs::ChangeState(node, stateChange, guard, Target(), refusal_);
    });
  }

  std::uint32_t CM_Get_DevNode_Status(std::uint32_t* status, std::uint32_t* problemNumber,
                                      std::uint32_t devInst, std::uint32_t) override {
    if (status == nullptr || problemNumber == nullptr) {
      lastError_ = error::kInvalidParameter;
      return CR_INVALID_POINTER;
    }
    if (devInst == 0 || devInst > known_.size())
      return NoSuchDevinst();
    const KnownNode& known = known_[devInst - 1];
    const NodeLocation& location = known.location;
    // Read the node afresh: someone else may have changed it since the set
    // was opened, or it may be gone. Which attributes it has was seen then.
    SysfsTree tree = Root().Fresh();
    if (!tree.IsCanonicalDirectory(location.path))
      return NoSuchDevinst();
    if (known.entries)
      tree.AssumeEntries(location.path, known.entries);
    const Node node(tree, location);
    const sysfs::NodeState state = sysfs::ReadState(node, StatusGuard(tree), drivers_);
    *status = state.status;
    *problemNumber = state.problem;
    return CR_SUCCESS;
  }

  std::uint32_t CM_Get_Parent(std::uint32_t* parent, std::uint32_t devInst,
                              std::uint32_t) override {
    if (parent == nullptr) {
      lastError_ = error::kInvalidParameter;
      return CR_INVALID_POINTER;
    }
    if (devInst == 0 || devInst > known_.size())
      return NoSuchDevinst();
    // The newest open set's tree has listed the folders on the way already.
    const SysfsTree& tree = sets_.empty() ? Root() : sets_.back()->tree;
    const auto isNode = [this](const std::string& path) { return byPath_.count(path) != 0; };
    const NodeLocation& child = known_[devInst - 1].location;
    std::optional<std::string> folder = sysfs::ParentFolder(tree, child.path, isNode);
    if (!folder && child.bus != "acpi") {
      // A node at the top of sysfs that firmware describes (a platform or
      // pnp device) hangs below its ACPI node's parent, as in the firmware.
      const std::string firmware = Node(tree, child).Firmware().path;
      if (!firmware.empty())
        folder = sysfs::ParentFolder(tree, firmware, isNode);
    }
    if (!folder)
      return NoSuchDevinst();  // a node at the top
    if (const auto found = byPath_.find(*folder); found != byPath_.end()) {
      *parent = found->second;
      return CR_SUCCESS;
    }
    // An ACPI node no set lists (it has a physical node): it gets a handle
    // all the same, so that its children are grouped under it.
    const NodeLocation location{*folder, "acpi"};
    const std::string id = sysfs::InstanceId(Node(tree, location));
    *parent = HandleFor(id, location, nullptr);
    return CR_SUCCESS;
  }

  std::uint32_t CM_Get_Device_IDA(std::uint32_t devInst, char* buffer, std::uint32_t bufferLength,
                                  std::uint32_t) override {
    if (buffer == nullptr) {
      lastError_ = error::kInvalidParameter;
      return CR_INVALID_POINTER;
    }
    if (devInst == 0 || devInst > known_.size())
      return NoSuchDevinst();
    const std::string& id = *known_[devInst - 1].instanceId;
    std::memcpy(buffer, id.data(), std::min<std::size_t>(id.size(), bufferLength));
    if (bufferLength <= id.size())
      return CR_BUFFER_SMALL;
    buffer[id.size()] = '\0';
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

  std::string LastRefusalReason() const override { return sysfs::ReasonText(refusal_); }

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
  std::uint32_t HandleFor(const std::string& instanceId, const NodeLocation& location,
                          std::shared_ptr<const SysfsTree::Listing> entries) {
    const auto [entry, added] =
        handles_.emplace(instanceId, static_cast<std::uint32_t>(known_.size() + 1));
    // The ID is kept once, as the key of its handle, which stays for good.
    const std::string* id = &entry->first;
    if (added) {
      known_.push_back(KnownNode{location, std::move(entries), id});
    } else {
      if (const auto old = byPath_.find(known_[entry->second - 1].location.path);
          old != byPath_.end() && old->second == entry->second) {
        byPath_.erase(old);
      }
      known_[entry->second - 1] = KnownNode{location, std::move(entries), id};
    }
    byPath_[location.path] = entry->second;
    return entry->second;
  }

  // Carries out `change` (0 or an error code) on the member's node read
  // afresh, which must still be where the set found it; refused for want
  // of rights, `request` goes to the privileged helper. What the member
  // shows is read again afterwards: a change may alter its name.
  template <typename Change>
  bool Changed(Member& member, const sysfs::ChangeRequest& request, Change change) {
    refusal_ = sysfs::Verdict{};
    const SysfsTree tree = Root().Fresh();
    const NodeLocation& location = member.node.Location();
    if (!tree.IsCanonicalDirectory(location.path))
      return Fail(error::kNoSuchDevinst, false);
    std::uint32_t code = change(Node(tree, location));
    if (code == error::kAccessDenied && options_.privileged)
      code = Escalated(request);
    member.description.reset();
    member.friendlyName.reset();
    // What the change altered may alter what may be taken away.
    statusGuard_.reset();
    return code == 0 ? true : Fail(code, false);
  }

  std::uint32_t Escalated(const sysfs::ChangeRequest& request) {
    const sysfs::EscalationResult result = options_.privileged->Change(request);
    if (result.outcome != sysfs::EscalationOutcome::kAnswered && options_.diagnostics != nullptr) {
      *options_.diagnostics << "quillon: " << request.instanceId << " was not changed ("
                            << sysfs::OperationWord(request.operation)
                            << "): " << sysfs::EscalationReason(result.outcome) << '\n'
                            << std::flush;
    }
    return result.code;
  }

  // Two nodes never share an ID within a set (and so never a handle): the
  // second of two twins gets "_2", cut so that it stays within the limit. A
  // node keeps the ID it had before (the node last seen at its path, if its
  // rules gave it the same ID), so that when the first twin goes the second
  // keeps its own ID and handle. Returns the members handed another ID than
  // their rules gave them, by index, with that ID.
  std::vector<std::pair<std::size_t, std::string>> AssignTwinIds(std::vector<Member>& members) {
    std::unordered_set<std::string> taken;  // upper case: IDs ignore case
    std::vector<std::pair<std::size_t, std::string>> twins;
    std::vector<bool> assigned(members.size(), false);
    for (std::size_t i = 0; i < members.size(); ++i) {
      const auto earlier = byPath_.find(members[i].node.Path());
      if (earlier == byPath_.end())
        continue;
      const std::string& handed = *known_[earlier->second - 1].instanceId;
      const auto twin = twinBases_.find(earlier->second);
      const std::string& base = twin != twinBases_.end() ? twin->second : handed;
      if (base != members[i].instanceId)
        continue;
      if (taken.insert(sysfs::Upper(handed)).second) {
        if (twin != twinBases_.end())
          twins.emplace_back(i, base);
        members[i].instanceId = handed;
        assigned[i] = true;
      }
    }
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (assigned[i])
        continue;
      const std::string base = members[i].instanceId;
      std::string id = base;
      for (int suffix = 2; !taken.insert(sysfs::Upper(id)).second; ++suffix) {
        std::string tail(1, '_');
        tail += std::to_string(suffix);
        id = base.substr(0, sysfs::kMaxInstanceId - tail.size()) + tail;
      }
      if (id != base)
        twins.emplace_back(i, base);
      members[i].instanceId = std::move(id);
    }
    std::sort(twins.begin(), twins.end());
    return twins;
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

  sysfs::GuardInputs GuardInputs() const {
    sysfs::GuardInputs inputs;
    inputs.root = options_.root;
    if (options_.rootDevice) {
      inputs.rootDevice = *options_.rootDevice;
    } else if (options_.root.empty()) {
      inputs.rootDevice = sysfs::RootDeviceNumber();
    }
    inputs.session = options_.session;
    if (!inputs.session && options_.root.empty()) {
      inputs.session = [] { return sysfs::SessionInterfacesOf(std::getenv("SSH_CONNECTION")); };
    }
    return inputs;
  }

  // Statuses share one reading of what is mounted, from the open of the
  // last set on: reading it for every node would cost more than the rest
  // of the status.
  const sysfs::Guard& StatusGuard(const SysfsTree& tree) {
    if (!statusGuard_)
      statusGuard_.emplace(tree, GuardInputs());
    return *statusGuard_;
  }

  sysfs::ChangeTarget Target() { return sysfs::ChangeTarget{*options_.writer, options_.root}; }

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
  sysfs::ModuleAliases drivers_;
  std::optional<sysfs::Guard> statusGuard_;
  sysfs::Verdict refusal_;  // why the last change was refused
  std::optional<SysfsTree> root_;
  std::unordered_map<std::string, std::uint32_t> handles_;
  // Handle of a twin: the ID its rules gave it (most nodes have no twin,
  // and were handed the ID their rules gave them).
  std::unordered_map<std::uint32_t, std::string> twinBases_;
  // Where a node was last seen, and what its folder held then (none when
  // it was not listed).
  struct KnownNode {
    NodeLocation location;
    std::shared_ptr<const SysfsTree::Listing> entries;
    const std::string* instanceId;  // the key in handles_
  };
  std::vector<KnownNode> known_;                           // by handle - 1
  std::unordered_map<std::string, std::uint32_t> byPath_;  // node folder: handle
  std::vector<std::unique_ptr<DeviceSet>> sets_;
  std::uint32_t lastError_ = 0;
};

}  // namespace

SysfsOptions DefaultSysfsOptions(const std::string& root) {
  SysfsOptions options{root, std::nullopt};
  const char* ignore = std::getenv("QUILLON_SYSFS_IGNORE_UEVENT");
  options.readUevents = ignore == nullptr || std::string_view(ignore) != "1";
  return options;
}

std::unique_ptr<DeviceService> MakeSysfsService(const std::string& root) {
  return MakeSysfsService(DefaultSysfsOptions(root));
}

std::unique_ptr<DeviceService> MakeSysfsService(const SysfsOptions& options) {
  return std::make_unique<SysfsService>(options);
}

}  // namespace quillon::devices
