#include "common/run_log.h"

#include <string>

#include "common/console.h"
#include "common/platform.h"

const char16_t kDefaultLogName[] = u"zazovavadera_log.txt";

namespace {

// The shared log, held from OpenRunLog until CloseRunLog.
PlatformFile run_log;

// The evidence image of the run, as VORLKIT_IMAGE names it, and the volume
// examined in it; the image is empty when the run examines none.
WideString examined_image;
ImageVolumeInfo examined_volume;

// Appends `text` to the log as UTF-16LE, two bytes a code unit, and reports
// a failed write on the console. Later writes are tried again regardless.
void AppendToRunLog(const WideString& text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xff));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  uint32_t error = AppendToFile(run_log, bytes.data(), bytes.size());
  if (error != kErrorSuccess)
    ConsolePrint(u"ERROR: Could not write into log file. Error code: 0x%x\n",
                 {error});
}

// "the NTFS volume at byte 1048576 of /cases/host17.E01", as the lines of
// the shadow copies name the volume.
WideString ExaminedVolumeText() {
  return FormatText(u"the %ls volume at byte %ls of %ls",
                    {examined_volume.file_system,
                     WidenAscii(std::to_string(examined_volume.offset).c_str()),
                     NameForMessages(examined_image)});
}

// A Windows FILETIME (100-nanosecond intervals since 1601-01-01, UTC) as
// "2019-06-04 23:43:32".
WideString FiletimeText(uint64_t filetime) {
  const int64_t kDaysFrom1601To1970 = 134774;
  uint64_t seconds = filetime / 10000000;
  int64_t days = static_cast<int64_t>(seconds / 86400) - kDaysFrom1601To1970;
  uint64_t in_day = seconds % 86400;
  // The civil date of a count of days since 1970-01-01, in eras of 400
  // years that begin on March 1.
  days += 719468;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  int64_t day_of_era = days - era * 146097;
  int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 -
                         day_of_era / 146096) /
                        365;
  int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  int64_t month_from_march = (5 * day_of_year + 2) / 153;
  int day =
      static_cast<int>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
  int month = static_cast<int>(month_from_march < 10 ? month_from_march + 3
                                                     : month_from_march - 9);
  int year = static_cast<int>(year_of_era + era * 400 + (month <= 2 ? 1 : 0));
  return FormatText(
      u"%d-%02d-%02d %02d:%02d:%02d",
      {year, month, day, static_cast<int>(in_day / 3600),
       static_cast<int>(in_day / 60 % 60), static_cast<int>(in_day % 60)});
}

}  // namespace

const char16_t* ImageProblemText(ImageProblem problem) {
  switch (problem) {
    case ImageProblem::kCannotOpen:
      return u"it cannot be opened";
    case ImageProblem::kBadBackingFile:
      return u"its backing file cannot be opened";
    case ImageProblem::kIsFolder:
      return u"it is a folder";
    case ImageProblem::kNoReadableVolume:
      return u"no volume in it can be read";
    case ImageProblem::kNoWindowsFolder:
      return u"no volume in it holds the Windows folder";
    case ImageProblem::kEncrypted:
      return u"its volume is encrypted with BitLocker";
    case ImageProblem::kBadVolumeOffset:
      return u"VORLKIT_VOLUME is not a byte offset";
    case ImageProblem::kNotSupported:
      return u"this build of the kit reads no images";
    case ImageProblem::kNone:
      break;
  }
  return u"it cannot be examined";
}

bool OpenRunLog(int argc, char16_t** argv) {
  WideString path;
  if (argc == 2) {
    path = argv[1];
  } else {
    ConsolePrintBytes(
        "\nINFO: First argument [logfile] is missing, taking default values. "
        "\n\n");
    path = kDefaultLogName;
  }
  uint32_t error = OpenLogForAppend(path, &run_log);
  if (error != kErrorSuccess) {
    ConsolePrint(u"ERROR: Could not create log file. Error code: 0x%x\n",
                 {error});
    return false;
  }
  return true;
}

void WriteRunHeader(const char16_t* program_path) {
  UtcTime now = CurrentUtcTime();
  AppendToRunLog(FormatText(
      u"\r\n%s is started at %02d/%02d/%d %02d:%02d\r\n",
      {program_path, now.month, now.day, now.year, now.hour, now.minute}));
}

bool StartExamination() {
  WideString image;
  if (!GetImageOverride(&image)) {
    WideString folder;
    if (GetWindowsFolderOverride(&folder)) {
      LogAndEcho(
          u"INFO: Examining the Windows folder %ls (VORLKIT_WINDOWS)\r\n",
          {folder});
    }
    return true;
  }
  ImageVolumeInfo volume;
  ImageProblem problem = ImageProblem::kNone;
  uint32_t error = UseImageSource(image, &volume, &problem);
  if (error != kErrorSuccess) {
    LogAndEcho(
        u"ERROR: Could not examine the image %ls: %ls. Error code: "
        u"0x%x\r\n",
        {NameForMessages(image), ImageProblemText(problem), error});
    return false;
  }
  LogAndEcho(
      u"INFO: Examining the Windows folder %ls of the %ls volume at "
      u"byte %ls of %ls (VORLKIT_IMAGE)\r\n",
      {NameForMessages(volume.windows_folder), volume.file_system,
       WidenAscii(std::to_string(volume.offset).c_str()),
       NameForMessages(image)});
  examined_image = image;
  examined_volume = volume;
  return true;
}

bool NextExamination() {
  ShadowCopyStep step;
  while (UseNextShadowCopy(&step)) {
    const unsigned number = static_cast<unsigned>(step.number);
    const unsigned count = static_cast<unsigned>(step.count);
    if (step.error != kErrorSuccess && step.number == 0) {
      LogAndEcho(
          u"ERROR: Could not examine shadow copy 0 of %ls. Error code: "
          u"0x%x\r\n",
          {ExaminedVolumeText(), step.error});
    } else if (step.error != kErrorSuccess) {
      LogAndEcho(
          u"ERROR: Could not examine shadow copy %d of %d of %ls. Error "
          u"code: 0x%x\r\n",
          {number, count, ExaminedVolumeText(), step.error});
    } else {
      LogAndEcho(
          u"INFO: Examining shadow copy %d of %d, made %ls UTC, of %ls\r\n",
          {number, count, FiletimeText(step.created), ExaminedVolumeText()});
      if (step.has_news) return true;
    }
  }
  return false;
}

void ReportFolderComparison(const FolderComparison& comparison,
                            const WideString& folder) {
  const WideString shown = NameForMessages(folder);
  if (comparison.state == FolderComparison::State::kRan) {
    LogAndEcho(
        u"INFO: Comparing the folder %ls with the raw NTFS volume %ls\r\n",
        {shown, comparison.volume});
  } else if (comparison.state == FolderComparison::State::kFailed) {
    LogAndEcho(
        u"ERROR: Could not compare the folder %ls with the raw volume %ls. "
        u"Error code: 0x%x\r\n",
        {shown, comparison.volume, comparison.error});
  }
}

void ReportHiddenEntry(const WideString& shown_name) {
  LogAndEcho(u"SUSPICIOUS: The folder listing hides %ls\r\n", {shown_name});
}

void LogAndEcho(const char16_t* format, std::initializer_list<FormatArg> args) {
  WideString message = FormatText(format, args);
  AppendToRunLog(message);
  ConsolePrintText(message);
}

void EchoThenLog(const char16_t* format,
                 std::initializer_list<FormatArg> args) {
  WideString message = FormatText(format, args);
  ConsolePrintText(message);
  AppendToRunLog(message);
}

void LogOnly(const char16_t* format, std::initializer_list<FormatArg> args) {
  AppendToRunLog(FormatText(format, args));
}

void CloseRunLog() { run_log.Close(); }
