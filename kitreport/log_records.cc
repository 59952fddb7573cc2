#include "kitreport/log_records.h"

#include "common/run_log.h"
#include "drvscan/signatures.h"

namespace {

const char16_t kStartMarker[] = u" is started at ";
const char16_t kSignaturePrefix[] = u"SUSPICIOUS: File ";
const char16_t kSignatureMarker[] = u" matches pattern called ";
const char16_t kEntropyPrefix[] = u"SUSPICIOUS: The entropy of ";
const char16_t kEntropyMarker[] = u" is above threshold: ";
const char16_t kOrphanPrefix[] =
    u"SUSPICIOUS: There is no corresponding inf file for ";
const char16_t kHiddenPrefix[] = u"SUSPICIOUS: The folder listing hides ";
const char16_t kMaskedPrefix[] = u"SUSPICIOUS: The system reads ";
const char16_t kMaskedSuffix[] = u" otherwise than on disk";
const char16_t kErrorPrefix[] = u"ERROR: ";
const char16_t kErrorCodeMarker[] = u" Error code: 0x";
const char16_t kWindowsFolderPrefix[] = u"INFO: Examining the Windows folder ";
const char16_t kWindowsFolderSuffix[] = u" (VORLKIT_WINDOWS)";
const char16_t kImageSuffix[] = u" (VORLKIT_IMAGE)";
const char16_t kImageVolumeMarker[] = u" volume at byte ";
const char16_t kImageErrorPrefix[] = u"ERROR: Could not examine the image ";
const char16_t kShadowCopyPrefix[] = u"INFO: Examining shadow copy ";
const char16_t kShadowCopyTimeMarker[] = u", made ";
const char16_t kShadowCopyTimeSuffix[] = u" UTC, of the ";
const char16_t kShadowCopyErrorPrefix[] =
    u"ERROR: Could not examine shadow copy ";

// The reasons an evidence image cannot be examined, as the error names them.
const ImageProblem kImageProblems[] = {
    ImageProblem::kCannotOpen,       ImageProblem::kIsFolder,
    ImageProblem::kNoReadableVolume, ImageProblem::kNoWindowsFolder,
    ImageProblem::kEncrypted,        ImageProblem::kBadVolumeOffset,
    ImageProblem::kNotSupported,     ImageProblem::kBadBackingFile,
};

// The errors that name a file, "ERROR: <file><ending> Error code: 0x..".
const char16_t* const kFileErrorEndings[] = {
    u" - Could not open PNF file for reading.",
    u" - Could not read the specified file.",
};

bool StartsWith(const WideString& text, const WideString& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const WideString& text, const WideString& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The text between `prefix` and `suffix` when `text` is exactly the three;
// false when it is not, or when the two would overlap.
bool Between(const WideString& text, const WideString& prefix,
             const WideString& suffix, WideString* middle) {
  if (text.size() < prefix.size() + suffix.size() ||
      !StartsWith(text, prefix) || !EndsWith(text, suffix))
    return false;
  *middle =
      text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
  return true;
}

bool IsDigit(char16_t unit) { return unit >= u'0' && unit <= u'9'; }

bool IsHexDigit(char16_t unit) {
  return IsDigit(unit) || (unit >= u'a' && unit <= u'f');
}

bool AllOf(const WideString& text, bool (*test)(char16_t)) {
  for (char16_t unit : text)
    if (!test(unit)) return false;
  return !text.empty();
}

std::string Ascii(const WideString& digits) {
  return std::string(digits.begin(), digits.end());
}

// Moves `*at` past `word` when `text` holds it there.
bool Skip(const WideString& text, const WideString& word, size_t* at) {
  if (text.compare(*at, word.size(), word) != 0) return false;
  *at += word.size();
  return true;
}

// Moves `*at` past the digits there, when there is at least one.
bool SkipDigits(const WideString& text, size_t* at) {
  size_t end = *at;
  while (end < text.size() && IsDigit(text[end])) ++end;
  if (end == *at) return false;
  *at = end;
  return true;
}

// The value of two digits.
int TwoDigits(const WideString& two) {
  return (two[0] - u'0') * 10 + (two[1] - u'0');
}

// A year of any number of digits in at least four, as ISO 8601 writes it.
std::string IsoYear(const WideString& year) {
  std::string iso = Ascii(year);
  if (iso.size() < 4) iso.insert(0, 4 - iso.size(), '0');
  return iso;
}

// Reads "MM/DD/YYYY hh:mm" (the year in as many digits as it has) into
// "YYYY-MM-DDThh:mmZ".
bool ReadStartTime(const WideString& text, std::string* iso) {
  if (text.size() < 13 || text[2] != u'/' || text[5] != u'/') return false;
  size_t space = text.find(u' ', 6);
  if (space == WideString::npos || text.size() != space + 6 ||
      text[space + 3] != u':')
    return false;
  WideString month = text.substr(0, 2), day = text.substr(3, 2),
             year = text.substr(6, space - 6), hour = text.substr(space + 1, 2),
             minute = text.substr(space + 4);
  for (const WideString* part : {&month, &day, &year, &hour, &minute})
    if (!AllOf(*part, IsDigit)) return false;
  if (TwoDigits(month) < 1 || TwoDigits(month) > 12 || TwoDigits(day) < 1 ||
      TwoDigits(day) > 31 || TwoDigits(hour) > 23 || TwoDigits(minute) > 59)
    return false;
  *iso = IsoYear(year) + "-" + Ascii(month) + "-" + Ascii(day) + "T" +
         Ascii(hour) + ":" + Ascii(minute) + "Z";
  return true;
}

// Reads a shadow copy's creation time, "YYYY-MM-DD hh:mm:ss" (the year in
// as many digits as it has), into "YYYY-MM-DDThh:mm:ssZ".
bool ReadShadowCopyTime(const WideString& text, std::string* iso) {
  const WideString shape = u"-00-00 00:00:00";
  size_t dash = text.find(u'-');
  if (dash == WideString::npos || text.size() != dash + shape.size() ||
      !AllOf(text.substr(0, dash), IsDigit))
    return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    char16_t unit = text[dash + i];
    if (shape[i] == u'0' ? !IsDigit(unit) : unit != shape[i]) return false;
  }
  auto field = [&](size_t at) { return TwoDigits(text.substr(dash + at, 2)); };
  if (field(1) < 1 || field(1) > 12 || field(4) < 1 || field(4) > 31 ||
      field(7) > 23 || field(10) > 59 || field(13) > 59)
    return false;
  *iso = IsoYear(text.substr(0, dash)) + Ascii(text.substr(dash, 6)) + "T" +
         Ascii(text.substr(dash + 7)) + "Z";
  return true;
}

// A start line, "<program> is started at MM/DD/YYYY hh:mm". The program
// path may hold the marker itself; the time after the last one holds none.
bool ReadStartLine(const WideString& text, LineFields* fields) {
  size_t marker = text.rfind(kStartMarker);
  if (marker == WideString::npos) return false;
  WideString program = text.substr(0, marker);
  if (!ReadStartTime(text.substr(marker + WideString(kStartMarker).size()),
                     &fields->started))
    return false;
  fields->kind = RecordKind::kStart;
  fields->program = program;
  return true;
}

// The file and pattern of a signature line. The pattern is one of the known
// names at the very end, so a file name that holds the marker and a name
// cannot shift the fields.
void ReadSignature(const WideString& text, LineFields* fields) {
  for (const SignatureRecord& signature : SignatureTable()) {
    WideString name = signature.name;
    if (Between(text, kSignaturePrefix, kSignatureMarker + name,
                &fields->file)) {
      fields->detail = name;
      return;
    }
  }
}

// The file and value of an entropy line: the value is the text after the
// last marker, digits with a decimal point, as "%f" prints them.
void ReadEntropy(const WideString& text, LineFields* fields) {
  size_t marker = text.rfind(kEntropyMarker);
  WideString prefix = kEntropyPrefix;
  if (marker == WideString::npos || marker < prefix.size()) return;
  WideString value = text.substr(marker + WideString(kEntropyMarker).size());
  size_t point = value.find(u'.');
  if (point == WideString::npos || !AllOf(value.substr(0, point), IsDigit) ||
      !AllOf(value.substr(point + 1), IsDigit))
    return;
  fields->file = text.substr(prefix.size(), marker - prefix.size());
  fields->detail = value;
}

// Where the image begins when `text` holds at `marker` the words that name
// the volume's place in it, " volume at byte <n> of "; npos when it does not.
size_t ImageAfterVolumeMarker(const WideString& text, size_t marker) {
  size_t at = marker;
  if (!Skip(text, kImageVolumeMarker, &at) || !SkipDigits(text, &at) ||
      !Skip(text, u" of ", &at))
    return WideString::npos;
  return at;
}

// The image of "<system> volume at byte <n> of <image>" from `at` to the end
// of `line`, as a shadow copy's lines name the volume. Only the system comes
// before the image, and its name holds no such words, so the first marker
// that digits and " of " follow is the one.
bool ReadShadowCopyVolume(const WideString& line, size_t at,
                          WideString* image) {
  for (size_t marker = line.find(kImageVolumeMarker, at);
       marker != WideString::npos;
       marker = line.find(kImageVolumeMarker, marker + 1)) {
    size_t begins = ImageAfterVolumeMarker(line, marker);
    if (begins != WideString::npos) {
      *image = line.substr(begins);
      return true;
    }
  }
  return false;
}

// The image and the copy's place of the line that begins a shadow copy's
// walk, "INFO: Examining shadow copy <i> of <n>, made <time> UTC, of the
// <system> volume at byte <n> of <image>", and the copy's creation time.
void ReadShadowCopyStart(const WideString& text, LineFields* fields) {
  size_t at = WideString(kShadowCopyPrefix).size();
  const size_t place = at;
  if (!SkipDigits(text, &at) || !Skip(text, u" of ", &at) ||
      !SkipDigits(text, &at))
    return;
  const size_t place_end = at;
  if (!Skip(text, kShadowCopyTimeMarker, &at)) return;
  size_t time_end = text.find(kShadowCopyTimeSuffix, at);
  std::string time;
  WideString image;
  if (time_end == WideString::npos ||
      !ReadShadowCopyTime(text.substr(at, time_end - at), &time) ||
      !ReadShadowCopyVolume(
          text, time_end + WideString(kShadowCopyTimeSuffix).size(), &image))
    return;
  fields->file = image;
  fields->detail = text.substr(place, place_end - place);
  fields->shadow_copy = time;
}

// The image of the error that a shadow copy cannot be examined, `message`
// up to its error code: "ERROR: Could not examine shadow copy <i> of <n> of
// the <volume>." or, when the catalog of the copies is damaged, "... shadow
// copy 0 of the <volume>.".
void ReadShadowCopyError(const WideString& message, LineFields* fields) {
  if (!EndsWith(message, u".")) return;
  const WideString line = message.substr(0, message.size() - 1);
  size_t at = WideString(kShadowCopyErrorPrefix).size();
  if (!Skip(line, u"0 of the ", &at) &&
      (!SkipDigits(line, &at) || !Skip(line, u" of ", &at) ||
       !SkipDigits(line, &at) || !Skip(line, u" of the ", &at)))
    return;
  ReadShadowCopyVolume(line, at, &fields->file);
}

// The code of an error line, "0x..", from its end, and the file of the
// errors that name one.
void ReadError(const WideString& text, LineFields* fields) {
  size_t marker = text.rfind(kErrorCodeMarker);
  if (marker == WideString::npos) return;
  WideString digits = text.substr(marker + WideString(kErrorCodeMarker).size());
  if (!AllOf(digits, IsHexDigit)) return;
  fields->detail = u"0x" + digits;
  WideString message = text.substr(0, marker);
  if (StartsWith(message, kShadowCopyErrorPrefix)) {
    ReadShadowCopyError(message, fields);
    return;
  }
  for (const char16_t* ending : kFileErrorEndings)
    if (Between(message, kErrorPrefix, ending, &fields->file)) return;
  for (ImageProblem problem : kImageProblems) {
    WideString ending = u": " + WideString(ImageProblemText(problem)) + u".";
    if (Between(message, kImageErrorPrefix, ending, &fields->file)) return;
  }
}

// The image of the line that names the volume examined in an evidence
// image: "<folder> of the <system> volume at byte <n> of <image>". The
// folder is spelled as the image spells it, so the image is taken after
// the last marker that digits and " of " follow.
void ReadImageVolume(const WideString& text, LineFields* fields) {
  WideString middle;
  if (!Between(text, kWindowsFolderPrefix, kImageSuffix, &middle)) return;
  for (size_t at = middle.rfind(kImageVolumeMarker); at != WideString::npos;
       at = at == 0 ? WideString::npos
                    : middle.rfind(kImageVolumeMarker, at - 1)) {
    size_t image = ImageAfterVolumeMarker(middle, at);
    if (image != WideString::npos) {
      fields->file = middle.substr(image);
      return;
    }
  }
}

}  // namespace

const char* KindName(RecordKind kind) {
  switch (kind) {
    case RecordKind::kStart:
      return "start";
    case RecordKind::kSignature:
      return "signature";
    case RecordKind::kEntropy:
      return "entropy";
    case RecordKind::kOrphan:
      return "orphan";
    case RecordKind::kWarning:
      return "warning";
    case RecordKind::kError:
      return "error";
    case RecordKind::kInfo:
      return "info";
    case RecordKind::kHidden:
      return "hidden";
    case RecordKind::kMasked:
      return "masked";
    case RecordKind::kUnknown:
      break;
  }
  return "";
}

LineFields ReadLogLine(const WideString& text, bool after_empty_line,
                       bool complete) {
  LineFields fields;
  // A start line ends in the time, so one that reads whole is whole.
  if (after_empty_line && ReadStartLine(text, &fields)) return fields;
  if (StartsWith(text, kSignaturePrefix)) {
    fields.kind = RecordKind::kSignature;
    if (complete) ReadSignature(text, &fields);
  } else if (StartsWith(text, kEntropyPrefix)) {
    fields.kind = RecordKind::kEntropy;
    if (complete) ReadEntropy(text, &fields);
  } else if (StartsWith(text, kOrphanPrefix)) {
    fields.kind = RecordKind::kOrphan;
    if (complete) fields.file = text.substr(WideString(kOrphanPrefix).size());
  } else if (StartsWith(text, kHiddenPrefix)) {
    fields.kind = RecordKind::kHidden;
    if (complete) fields.file = text.substr(WideString(kHiddenPrefix).size());
  } else if (StartsWith(text, kMaskedPrefix)) {
    fields.kind = RecordKind::kMasked;
    if (complete) Between(text, kMaskedPrefix, kMaskedSuffix, &fields.file);
  } else if (StartsWith(text, u"ERROR:")) {
    fields.kind = RecordKind::kError;
    fields.shadow_copy_line = StartsWith(text, kShadowCopyErrorPrefix);
    if (complete) ReadError(text, &fields);
  } else if (StartsWith(text, u"WARNING:")) {
    fields.kind = RecordKind::kWarning;
  } else if (StartsWith(text, u"INFO:")) {
    fields.kind = RecordKind::kInfo;
    fields.shadow_copy_line = StartsWith(text, kShadowCopyPrefix);
    if (!complete) return fields;
    if (fields.shadow_copy_line) {
      ReadShadowCopyStart(text, &fields);
    } else if (!Between(text, kWindowsFolderPrefix, kWindowsFolderSuffix,
                        &fields.file)) {
      ReadImageVolume(text, &fields);
    }
  }
  return fields;
}

bool ReadLogRecords(const std::string& bytes, std::vector<LogRecord>* records) {
  WideString units;
  units.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    units.push_back(
        static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                              static_cast<unsigned char>(bytes[i + 1]) << 8));

  bool kit_log = false;
  bool after_empty_line = false;
  int run = 0;
  WideString program;
  std::string started;
  std::string shadow_copy;
  for (size_t start = 0; start < units.size();) {
    size_t end = units.find(u"\r\n", start);
    bool complete = end != WideString::npos;
    WideString text =
        units.substr(start, complete ? end - start : WideString::npos);
    start = complete ? end + 2 : units.size();
    // A log that ends between the two units of a line end lacks only the
    // line feed: the line itself is whole.
    if (!complete && !text.empty() && text.back() == u'\r') {
      text.pop_back();
      complete = true;
    }
    if (text.empty()) {
      after_empty_line = true;
      continue;
    }
    LineFields fields = ReadLogLine(text, after_empty_line, complete);
    after_empty_line = false;
    if (fields.kind == RecordKind::kStart) {
      ++run;
      program = fields.program;
      started = fields.started;
    }
    if (fields.kind == RecordKind::kStart || fields.shadow_copy_line)
      shadow_copy = fields.shadow_copy;
    if (fields.kind != RecordKind::kUnknown) kit_log = true;
    LogRecord record;
    record.run = run;
    record.program = program;
    record.started = started;
    record.shadow_copy = shadow_copy;
    record.kind = fields.kind;
    record.file = std::move(fields.file);
    record.detail = std::move(fields.detail);
    record.text = std::move(text);
    records->push_back(std::move(record));
  }
  return kit_log;
}

bool IsFinding(const LogRecord& record) {
  return record.text.compare(0, 11, u"SUSPICIOUS:") == 0;
}
