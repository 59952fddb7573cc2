#include "volume/cross_view.h"

namespace {

// The listed entry that names the volume's entry; listed.size() for none.
size_t ListedIndexOf(const VolumeEntry& entry,
                     const std::vector<ListedEntry>& listed) {
  for (size_t i = 0; i < listed.size(); ++i) {
    if (listed[i].name == entry.name ||
        (!entry.short_name.empty() && listed[i].name == entry.short_name))
      return i;
  }
  return listed.size();
}

}  // namespace

std::vector<WalkEntry> MergeListings(
    const std::vector<ListedEntry>& listed,
    const std::vector<VolumeEntry>& on_volume) {
  std::vector<WalkEntry> walk;
  std::vector<uint64_t> records(listed.size(), 0);
  std::vector<bool> found(listed.size(), false);
  std::vector<size_t> index_of(on_volume.size());
  for (size_t v = 0; v < on_volume.size(); ++v) {
    const VolumeEntry& entry = on_volume[v];
    size_t index = index_of[v] = ListedIndexOf(entry, listed);
    if (index < listed.size() && !found[index]) {
      found[index] = true;
      records[index] = entry.record;
    }
  }
  // The listed entries keep the system's order; each hidden one comes right
  // after the listed entries that the index has before it.
  size_t next_listed = 0;
  auto emit_listed_through = [&](size_t last) {
    for (; next_listed <= last && next_listed < listed.size(); ++next_listed) {
      WalkEntry step;
      step.name = listed[next_listed].name;
      step.record = records[next_listed];
      step.on_volume = found[next_listed];
      walk.push_back(step);
    }
  };
  for (size_t v = 0; v < on_volume.size(); ++v) {
    const VolumeEntry& entry = on_volume[v];
    if (index_of[v] < listed.size()) {
      emit_listed_through(index_of[v]);
      continue;
    }
    WalkEntry step;
    step.name = entry.name;
    step.hidden = true;
    step.record = entry.record;
    step.on_volume = true;
    walk.push_back(step);
  }
  emit_listed_through(listed.size());
  return walk;
}
