#include "tools/DeviceTree.h"

#include <algorithm>
#include <cctype>
#include <ostream>
#include <unordered_map>

namespace quillon::tools {

namespace {

std::string Key(std::string_view id) {
  std::string key(id);
  for (char& c : key)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return key;
}

// One line of the tree: a shown device, or a parent standing by its ID.
struct Place {
  std::string id;                     // instance ID ("-" when unreadable)
  std::string sortName;               // what siblings are sorted by
  std::optional<std::string> parent;  // the parent's instance ID
  const DeviceEntry* device = nullptr;
  bool shown = false;
  bool needed = false;
  std::vector<std::size_t> children;
};

// Negative, zero or positive as `a` sorts before, with or after `b`,
// ignoring the case of ASCII letters.
int CompareIgnoringCase(std::string_view a, std::string_view b) {
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    const int x = std::tolower(static_cast<unsigned char>(a[i]));
    const int y = std::tolower(static_cast<unsigned char>(b[i]));
    if (x != y)
      return x - y;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool Before(const Place& a, const Place& b) {
  const int byName = CompareIgnoringCase(a.sortName, b.sortName);
  return byName != 0 ? byName < 0 : a.id < b.id;
}

}  // namespace

void WriteTree(const Snapshot& snapshot, const std::vector<bool>& shown,
               const std::function<std::string(const DeviceEntry&)>& line, std::ostream& out) {
  std::vector<Place> places;
  std::unordered_map<std::string, std::size_t> byKey;
  places.reserve(snapshot.devices.size() + snapshot.ancestors.size());
  for (std::size_t i = 0; i < snapshot.devices.size(); ++i) {
    const DeviceEntry& device = snapshot.devices[i];
    Place place;
    place.id = device.instanceId.text.value_or("-");
    place.sortName = device.name.empty() ? place.id : device.name;
    if (device.parentId)
      place.parent = *device.parentId;
    place.device = &device;
    place.shown = i < shown.size() && shown[i];
    // A device whose ID cannot be read can be no one's parent; it still
    // hangs below its own.
    if (device.instanceId.text)
      byKey.emplace(Key(place.id), places.size());
    places.push_back(std::move(place));
  }
  const auto placeOf = [&](std::string id) {
    const auto [it, added] = byKey.emplace(Key(id), places.size());
    if (added) {
      Place place;
      place.sortName = id;
      place.id = std::move(id);
      places.push_back(std::move(place));
    }
    return it->second;
  };
  for (const Ancestor& ancestor : snapshot.ancestors) {
    const std::size_t at = placeOf(ancestor.instanceId);
    if (places[at].device == nullptr && ancestor.parentId)
      places[at].parent = *ancestor.parentId;
  }
  // Each place's parent, looked up once; a parent named but known nowhere
  // else still gets its place.
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::vector<std::size_t> parentOf;
  for (std::size_t i = 0; i < places.size(); ++i) {
    std::size_t parent = kNone;
    if (places[i].parent)
      parent = placeOf(*places[i].parent);
    parentOf.push_back(parent == i ? kNone : parent);
  }
  parentOf.resize(places.size(), kNone);  // the places added last are roots
  // Shown places and every place above them; a loop in the parents stops
  // the walk where it closes.
  for (std::size_t i = 0; i < places.size(); ++i) {
    for (std::size_t at = i; places[i].shown && at != kNone && !places[at].needed;
         at = parentOf[at]) {
      places[at].needed = true;
    }
  }
  std::vector<std::size_t> roots;
  for (std::size_t i = 0; i < places.size(); ++i) {
    if (!places[i].needed)
      continue;
    if (parentOf[i] != kNone)
      places[parentOf[i]].children.push_back(i);
    else
      roots.push_back(i);
  }
  const auto sorted = [&](std::vector<std::size_t>& list) {
    std::stable_sort(list.begin(), list.end(),
                     [&](std::size_t a, std::size_t b) { return Before(places[a], places[b]); });
  };
  // A place on a loop of parents has no root above it: the first of the loop
  // to be met becomes one.
  std::vector<bool> written(places.size(), false);
  const auto write = [&](std::size_t root) {
    std::vector<std::pair<std::size_t, std::size_t>> stack = {{root, 0}};
    while (!stack.empty()) {
      const auto [at, depth] = stack.back();
      stack.pop_back();
      if (written[at])
        continue;
      written[at] = true;
      Place& place = places[at];
      out << std::string(depth * 2, ' ') << (place.shown ? line(*place.device) : place.id) << '\n';
      sorted(place.children);
      for (auto child = place.children.rbegin(); child != place.children.rend(); ++child)
        stack.emplace_back(*child, depth + 1);
    }
  };
  sorted(roots);
  for (const std::size_t root : roots)
    write(root);
  for (std::size_t i = 0; i < places.size(); ++i) {
    if (places[i].needed && !written[i])
      write(i);
  }
}

}  // namespace quillon::tools
