#include "tests/fault/platform_fake.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/console.h"

FakePlatform fake;

namespace {

// The one log handle; files open for reading get handles from 1 on.
constexpr PlatformFile::Handle kLogHandle = 1 << 30;

struct OpenFile {
  WideString path;
  uint64_t position = 0;
};

std::map<PlatformFile::Handle, OpenFile> open_files;
PlatformFile::Handle next_handle = 1;

// Reallocations left before they fail; -1 for no limit.
int allocations_left = -1;

const FakeFile* FileOf(const PlatformFile& file, OpenFile** open) {
  auto found = open_files.find(file.handle());
  if (found == open_files.end()) return nullptr;
  *open = &found->second;
  return &fake.files.at(found->second.path);
}

char16_t UpperAscii(char16_t unit) {
  return unit >= u'a' && unit <= u'z' ? unit - (u'a' - u'A') : unit;
}

// True when `name` matches a pattern of the form "*<suffix>", ASCII case
// ignored: all the tools ever ask for.
bool MatchesPattern(const WideString& pattern, const WideString& name) {
  if (pattern.empty() || pattern[0] != u'*') return pattern == name;
  WideString suffix = pattern.substr(1);
  if (name.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i) {
    if (UpperAscii(suffix[i]) !=
        UpperAscii(name[name.size() - suffix.size() + i]))
      return false;
  }
  return true;
}

}  // namespace

// Every realloc of the code under test comes here (the test program is
// linked with --wrap=realloc), so that the heap can run out on cue.
extern "C" void* __real_realloc(void* bytes, size_t size);
extern "C" void* __wrap_realloc(void* bytes, size_t size) {
  if (allocations_left == 0) return nullptr;
  if (allocations_left > 0) --allocations_left;
  if (bytes) ++fake.block_moves;
  return __real_realloc(bytes, size);
}

void ResetFake() {
  ConsoleFlush();
  fake = FakePlatform();
  open_files.clear();
  allocations_left = -1;
}

std::string FakeConsole() {
  ConsoleFlush();
  return fake.console;
}

std::string FakeLogText() {
  WideString units;
  for (size_t i = 0; i + 1 < fake.log.size(); i += 2) {
    units.push_back(static_cast<char16_t>(
        static_cast<unsigned char>(fake.log[i]) |
        static_cast<unsigned char>(fake.log[i + 1]) << 8));
  }
  return DisplayFromWide(units.data(), units.size());
}

void PlatformFile::Close() {
  if (handle_ == kInvalid) return;
  if (handle_ != kLogHandle && open_files.erase(handle_) > 0) {
    --fake.open_files;
    allocations_left = -1;
  }
  handle_ = kInvalid;
}

uint32_t OpenLogForAppend(const WideString&, PlatformFile* file) {
  if (fake.log_open_error != kErrorSuccess) return fake.log_open_error;
  *file = PlatformFile(kLogHandle);
  return kErrorSuccess;
}

uint32_t AppendToFile(const PlatformFile& file, const void* data, size_t size) {
  if (file.handle() != kLogHandle) return kErrorAccessDenied;
  if (fake.failing_writes.count(++fake.log_writes) > 0) return fake.write_error;
  fake.log.append(static_cast<const char*>(data), size);
  return kErrorSuccess;
}

uint32_t OpenForReading(const WideString& path, PlatformFile* file) {
  auto found = fake.files.find(path);
  if (found == fake.files.end()) return kErrorFileNotFound;
  if (found->second.open_error != kErrorSuccess)
    return found->second.open_error;
  PlatformFile::Handle handle = next_handle++;
  open_files[handle].path = path;
  ++fake.open_files;
  allocations_left = found->second.allocations;
  *file = PlatformFile(handle);
  return kErrorSuccess;
}

uint32_t ReadFromFile(const PlatformFile& file, void* buffer, uint32_t size,
                      uint32_t* bytes_read) {
  *bytes_read = 0;
  OpenFile* open = nullptr;
  const FakeFile* data = FileOf(file, &open);
  if (data == nullptr) return kErrorAccessDenied;
  int64_t position = static_cast<int64_t>(open->position);
  if (data->unreadable_at >= position && data->unreadable_at < position + size)
    return data->read_error;
  uint64_t left = data->bytes.size() - open->position;
  uint32_t count = left < size ? static_cast<uint32_t>(left) : size;
  memcpy(buffer, data->bytes.data() + open->position, count);
  open->position += count;
  *bytes_read = count;
  return kErrorSuccess;
}

uint32_t StepBack(const PlatformFile& file, uint32_t distance) {
  OpenFile* open = nullptr;
  const FakeFile* data = FileOf(file, &open);
  if (data == nullptr) return kErrorAccessDenied;
  if (static_cast<int64_t>(open->position) == data->step_fails_at)
    return data->step_error;
  if (distance > open->position) return kErrorNegativeSeek;
  open->position -= distance;
  return kErrorSuccess;
}

uint32_t GetFileSize(const PlatformFile& file, uint64_t* size) {
  OpenFile* open = nullptr;
  const FakeFile* data = FileOf(file, &open);
  if (data == nullptr || data->size_unknown) return kErrorAccessDenied;
  *size = data->bytes.size();
  return kErrorSuccess;
}

uint32_t GetWindowsFolder(WideString* folder) {
  if (fake.windows_folder_error != kErrorSuccess)
    return fake.windows_folder_error;
  *folder = fake.windows_folder;
  return kErrorSuccess;
}

uint32_t GetSystemFolder(WideString* folder) {
  if (fake.system_folder_error != kErrorSuccess)
    return fake.system_folder_error;
  *folder = fake.windows_folder + u"\\system32";
  return kErrorSuccess;
}

bool GetWindowsFolderOverride(WideString*) { return false; }

bool GetImageOverride(WideString* image) {
  *image = fake.image;
  return !fake.image.empty();
}

// A file's bytes on the volume open as a file of their own, under the path
// with this prefix.
const char16_t kOnVolume[] = u"volume:";

uint32_t OpenOnVolume(const WideString& path, PlatformFile* file) {
  if (fake.comparison.state != FolderComparison::State::kRan)
    return kErrorNotSupported;
  auto found = fake.on_volume.find(path);
  if (found == fake.on_volume.end()) return kErrorNotSupported;
  FakeFile on_volume;
  on_volume.bytes = found->second;
  fake.files[kOnVolume + path] = on_volume;
  return OpenForReading(kOnVolume + path, file);
}

void RefreshVolumeViews() {
  ++fake.refreshes;
  for (const auto& [path, bytes] : fake.refreshed) fake.on_volume[path] = bytes;
}

uint32_t UseImageSource(const WideString&, ImageVolumeInfo* info,
                        ImageProblem* problem) {
  *info = fake.image_volume;
  *problem = ImageProblem::kNone;
  return kErrorSuccess;
}

bool RunsUnderWow64() { return fake.wow64; }

bool UseNextShadowCopy(ShadowCopyStep* step) {
  if (fake.shadow_steps.empty()) return false;
  *step = fake.shadow_steps.front();
  fake.shadow_steps.pop_front();
  return true;
}

UtcTime CurrentUtcTime() { return UtcTime{2024, 3, 4, 9, 5}; }

struct FolderEntries::State {
  WideString folder;  // with its backslash
  std::vector<WideString> names;
  size_t next = 0;
};

FolderEntries::FolderEntries() = default;
FolderEntries::~FolderEntries() = default;

uint32_t FolderEntries::Start(const WideString& search_pattern,
                              WideString* first_name) {
  state_.reset();
  if (fake.enumeration_error != kErrorSuccess) return fake.enumeration_error;
  size_t split = search_pattern.rfind(u'\\');
  WideString folder = search_pattern.substr(0, split + 1);
  WideString pattern = search_pattern.substr(split + 1);
  std::unique_ptr<State> state(new State);
  state->folder = folder;
  for (const auto& [path, file] : fake.files) {
    if (path.compare(0, folder.size(), folder) != 0) continue;
    WideString name = path.substr(folder.size());
    if (name.find(u'\\') == WideString::npos && MatchesPattern(pattern, name))
      state->names.push_back(name);
  }
  if (state->names.empty()) return kErrorFileNotFound;
  *first_name = state->names[0];
  state->next = 1;
  state_ = std::move(state);
  return kErrorSuccess;
}

bool FolderEntries::Next(WideString* name) {
  if (!state_ || state_->next >= state_->names.size()) return false;
  if (fake.entries_before_end >= 0 &&
      state_->next >= static_cast<size_t>(fake.entries_before_end))
    return false;
  *name = state_->names[state_->next++];
  return true;
}

const FolderComparison& FolderEntries::comparison() const {
  return fake.comparison;
}

bool FolderEntries::hidden() const {
  return state_ && state_->next > 0 &&
         fake.hidden.count(state_->folder + state_->names[state_->next - 1]) >
             0;
}

bool EntryExists(const WideString& path) { return fake.files.count(path) > 0; }

void WriteConsoleText(const char16_t* text, size_t length) {
  fake.console += DisplayFromWide(text, length);
}
