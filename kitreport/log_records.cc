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

// The reasons an evidence image cannot be examined, as the error names them.
const ImageProblem kImageProblems[] = {
    ImageProblem::kCannotOpen,       ImageProblem::kIsFolder,
    ImageProblem::kNoReadableVolume, ImageProblem::kNoWindowsFolder,
    ImageProblem::kEncrypted,        ImageProblem::kBadVolumeOffset,
    ImageProblem::kNotSupported,
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
  auto value = [](const WideString& two) {
    return (two[0] - u'0') * 10 + (two[1] - u'0');
  };
  if (value(month) < 1 || value(month) > 12 || value(day) < 1 ||
      value(day) > 31 || value(hour) > 23 || value(minute) > 59)
    return false;
  std::string padded_year = Ascii(year);
  if (padded_year.size() < 4)
    padded_year.insert(0, 4 - padded_year.size(), '0');
  *iso = padded_year + "-" + Ascii(month) + "-" + Ascii(day) + "T" +
         Ascii(hour) + ":" + Ascii(minute) + "Z";
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

// The code of an error line, "0x..", from its end, and the file of the
// errors that name one.
void ReadError(const WideString& text, LineFields* fields) {
  size_t marker = text.rfind(kErrorCodeMarker);
  if (marker == WideString::npos) return;
  WideString digits = text.substr(marker + WideString(kErrorCodeMarker).size());
  if (!AllOf(digits, IsHexDigit)) return;
  fields->detail = u"0x" + digits;
  WideString message = text.substr(0, marker);
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
  const WideString marker = kImageVolumeMarker;
  for (size_t at = middle.rfind(marker); at != WideString::npos;
       at = at == 0 ? WideString::npos : middle.rfind(marker, at - 1)) {
    size_t digits = at + marker.size();
    size_t end = digits;
    while (end < middle.size() && IsDigit(middle[end])) ++end;
    if (end > digits && middle.compare(end, 4, u" of ") == 0) {
      fields->file = middle.substr(end + 4);
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
    if (complete) ReadError(text, &fields);
  } else if (StartsWith(text, u"WARNING:")) {
    fields.kind = RecordKind::kWarning;
  } else if (StartsWith(text, u"INFO:")) {
    fields.kind = RecordKind::kInfo;
    if (complete && !Between(text, kWindowsFolderPrefix, kWindowsFolderSuffix,
                             &fields.file))
      ReadImageVolume(text, &fields);
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
    if (fields.kind != RecordKind::kUnknown) kit_log = true;
    LogRecord record;
    record.run = run;
    record.program = program;
    record.started = started;
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
