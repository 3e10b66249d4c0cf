#include "tools/DeviceTree.h"

#include <algorithm>
#include <cstring>
#include <ostream>
#include <unordered_map>
#include <unordered_set>

#include "devices/DeviceText.h"

namespace quillon::tools {

namespace {

// One line of the tree: a shown device, or a parent standing by its ID. A
// device's texts are read from it only when its line is needed; the others'
// view the snapshot's, or the placeholders' own.
struct Place {
  const DeviceEntry* device = nullptr;
  std::string_view id;        // when there is no device
  std::string_view sortName;  // set once the place is known to be needed
  std::optional<std::string_view> parent;
  bool shown = false;
  bool needed = false;
};

constexpr std::string_view kUnreadable = "-";

// The instance ID ("-" when unreadable).
std::string_view IdOf(const Place& place) {
  if (place.device == nullptr)
    return place.id;
  return place.device->instanceId.text ? std::string_view(*place.device->instanceId.text)
                                       : kUnreadable;
}

// What siblings are sorted by.
std::string_view SortNameOf(const Place& place) {
  if (place.device == nullptr || place.device->name.empty())
    return IdOf(place);
  return place.device->name;
}

// The parent's instance ID, where it is named.
std::optional<std::string_view> ParentIdOf(const Place& place) {
  if (place.device == nullptr)
    return place.parent;
  if (!place.device->parentId)
    return std::nullopt;
  return *place.device->parentId;
}

// Negative, zero or positive as `a` sorts before, with or after `b`,
// ignoring the case of ASCII letters.
int CompareIgnoringCase(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  std::size_t i = 0;
  // Bytes alike as they stand are alike ignoring case: siblings' names share
  // long beginnings, passed eight bytes at a time.
  while (i + 8 <= common && std::memcmp(a.data() + i, b.data() + i, 8) == 0)
    i += 8;
  for (; i < common; ++i) {
    const int x = devices::AsciiLower(a[i]);
    const int y = devices::AsciiLower(b[i]);
    if (x != y)
      return x - y;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool ByHandle(const std::pair<std::uint32_t, std::size_t>& a,
              const std::pair<std::uint32_t, std::size_t>& b) {
  return a.first < b.first;
}

bool HandleBelow(const std::pair<std::uint32_t, std::size_t>& entry, std::uint32_t handle) {
  return entry.first < handle;
}

bool Before(const Place& a, const Place& b) {
  const int byName = CompareIgnoringCase(a.sortName, b.sortName);
  return byName != 0 ? byName < 0 : IdOf(a) < IdOf(b);
}

// Sorts places' indices by name, keeping the order of equals. Most devices
// have a few children: an insertion sort needs no buffer for them.
void SortPlaces(const std::vector<Place>& places, std::size_t* first, std::size_t* last) {
  const auto before = [&places](std::size_t a, std::size_t b) {
    return Before(places[a], places[b]);
  };
  if (last - first > 32) {
    std::stable_sort(first, last, before);
    return;
  }
  for (std::size_t* at = first + (first != last ? 1 : 0); at < last; ++at) {
    const std::size_t moved = *at;
    std::size_t* to = at;
    for (; to != first && before(moved, *(to - 1)); --to)
      *to = *(to - 1);
    *to = moved;
  }
}

}  // namespace

void WriteTree(const Snapshot& snapshot, const std::vector<bool>& shown,
               const std::function<std::string(const DeviceEntry&)>& line, std::ostream& out) {
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::vector<Place> places;
  // Parents are found by node handle, as the source gave them; by instance
  // ID only where a source named a parent without one.
  // Sorted (handle, place) pairs: one block, where a hash map would allocate
  // a node for every device.
  std::vector<std::pair<std::uint32_t, std::size_t>> byHandle;
  // Instance IDs are compared ignoring the case of ASCII letters.
  std::unordered_map<std::string_view, std::size_t, devices::HashIgnoringCase,
                     devices::EqualIgnoringCase>
      byId;
  const std::size_t expected = snapshot.devices.size() + snapshot.ancestors.size() + 1;
  places.reserve(expected);
  byHandle.reserve(expected);
  std::vector<std::optional<std::uint32_t>> parentHandle;
  parentHandle.reserve(expected);
  for (std::size_t i = 0; i < snapshot.devices.size(); ++i) {
    const DeviceEntry& device = snapshot.devices[i];
    Place place;
    place.device = &device;
    place.shown = i < shown.size() && shown[i];
    byHandle.emplace_back(device.devInst, places.size());
    parentHandle.push_back(device.parentDevInst);
    places.push_back(place);
  }
  // The first place with a handle holds it. Sources list their handles in
  // order, mostly: then there is nothing to sort.
  if (!std::is_sorted(byHandle.begin(), byHandle.end(), ByHandle))
    std::stable_sort(byHandle.begin(), byHandle.end(), ByHandle);
  const auto findHandle = [&](std::uint32_t handle) -> std::optional<std::size_t> {
    const auto found = std::lower_bound(byHandle.begin(), byHandle.end(), handle, HandleBelow);
    if (found == byHandle.end() || found->first != handle)
      return std::nullopt;
    return found->second;
  };
  std::vector<std::pair<std::uint32_t, std::size_t>> ancestorPlaces;
  std::unordered_set<std::uint32_t> ancestorHandles;  // few, beside the listed devices
  for (const Ancestor& ancestor : snapshot.ancestors) {
    if (findHandle(ancestor.devInst) || !ancestorHandles.insert(ancestor.devInst).second)
      continue;
    ancestorPlaces.emplace_back(ancestor.devInst, places.size());
    Place place;
    place.id = ancestor.instanceId;
    if (ancestor.parentId)
      place.parent = *ancestor.parentId;
    parentHandle.push_back(ancestor.parentDevInst);
    places.push_back(place);
  }
  // The few ancestors sorted apart, then merged: their handles mostly come
  // after the listed ones.
  std::stable_sort(ancestorPlaces.begin(), ancestorPlaces.end(), ByHandle);
  const auto listedEnd = static_cast<std::ptrdiff_t>(byHandle.size());
  byHandle.insert(byHandle.end(), ancestorPlaces.begin(), ancestorPlaces.end());
  if (listedEnd > 0 && listedEnd < static_cast<std::ptrdiff_t>(byHandle.size()) &&
      ByHandle(byHandle[listedEnd], byHandle[listedEnd - 1])) {
    std::inplace_merge(byHandle.begin(), byHandle.begin() + listedEnd, byHandle.end(), ByHandle);
  }
  // A parent named without a handle the snapshot knows stands by its ID.
  const auto placeOf = [&](std::string_view id) {
    if (byId.empty()) {
      for (std::size_t i = 0; i < places.size(); ++i) {
        if (places[i].device == nullptr || places[i].device->instanceId.text)
          byId.emplace(IdOf(places[i]), i);
      }
    }
    const auto [it, added] = byId.emplace(id, places.size());
    if (added) {
      Place place;
      place.id = id;
      places.push_back(place);
    }
    return it->second;
  };
  std::vector<std::size_t> parentOf;
  parentOf.reserve(places.size());
  // Siblings mostly follow each other: their parent's handle is looked up once.
  std::optional<std::uint32_t> lastHandle;
  std::optional<std::size_t> lastFound;
  // The places placeOf adds come last and are met here too, as roots.
  for (std::size_t i = 0; i < places.size(); ++i) {
    std::size_t parent = kNone;
    const auto handle = i < parentHandle.size() ? parentHandle[i] : std::nullopt;
    if (handle && handle != lastHandle) {
      lastHandle = handle;
      lastFound = findHandle(*handle);
    }
    if (handle && lastFound) {
      parent = *lastFound;
    } else if (const auto named = ParentIdOf(places[i])) {
      parent = placeOf(*named);
    }
    parentOf.push_back(parent == i ? kNone : parent);
  }
  // Shown places and every place above them; a loop in the parents stops
  // the walk where it closes.
  for (std::size_t i = 0; i < places.size(); ++i) {
    for (std::size_t at = i; places[i].shown && at != kNone && !places[at].needed;
         at = parentOf[at]) {
      places[at].needed = true;
    }
  }
  // The names siblings are sorted by and the lines, made in the order the
  // devices lie in memory rather than in the tree's: the lines one after
  // the other in one block, place i's from lineAt[i].first to .second.
  std::string lines;
  lines.reserve(places.size() * 96);
  std::vector<std::pair<std::size_t, std::size_t>> lineAt(places.size());
  for (std::size_t i = 0; i < places.size(); ++i) {
    Place& place = places[i];
    if (!place.needed)
      continue;
    place.sortName = SortNameOf(place);
    lineAt[i].first = lines.size();
    if (place.shown) {
      lines += line(*place.device);
    } else {
      // As the device lines have them: one line, no escape sequence.
      std::string id(IdOf(place));
      devices::BlankControlCharacters(id);
      lines += id;
    }
    lineAt[i].second = lines.size();
  }
  // Each place's children in one block, in the order of the places: the
  // children of place p are children[firstChild[p]] up to firstChild[p + 1].
  std::vector<std::size_t> firstChild(places.size() + 1, 0);
  std::vector<std::size_t> roots;
  for (std::size_t i = 0; i < places.size(); ++i) {
    if (places[i].needed && parentOf[i] != kNone)
      ++firstChild[parentOf[i] + 1];
  }
  for (std::size_t p = 0; p < places.size(); ++p)
    firstChild[p + 1] += firstChild[p];
  std::vector<std::size_t> children(firstChild.back());
  {
    std::vector<std::size_t> filled(firstChild.begin(), firstChild.end() - 1);
    for (std::size_t i = 0; i < places.size(); ++i) {
      if (!places[i].needed)
        continue;
      if (parentOf[i] != kNone)
        children[filled[parentOf[i]]++] = i;
      else
        roots.push_back(i);
    }
  }
  // A place on a loop of parents has no root above it: the first of the loop
  // to be met becomes one.
  std::vector<bool> written(places.size(), false);
  std::string text;  // one line at a time, indented
  std::vector<std::pair<std::size_t, std::size_t>> stack;
  const auto write = [&](std::size_t root) {
    stack.assign(1, {root, 0});
    while (!stack.empty()) {
      const auto [at, depth] = stack.back();
      stack.pop_back();
      if (written[at])
        continue;
      written[at] = true;
      text.assign(depth * 2, ' ');
      text.append(lines, lineAt[at].first, lineAt[at].second - lineAt[at].first);
      text += '\n';
      out << text;
      std::size_t* first = children.data() + firstChild[at];
      std::size_t* last = children.data() + firstChild[at + 1];
      SortPlaces(places, first, last);
      for (std::size_t* child = last; child != first; --child)
        stack.emplace_back(*(child - 1), depth + 1);
    }
  };
  SortPlaces(places, roots.data(), roots.data() + roots.size());
  for (const std::size_t root : roots)
    write(root);
  for (std::size_t i = 0; i < places.size(); ++i) {
    if (places[i].needed && !written[i])
      write(i);
  }
}

}  // namespace quillon::tools
