#include "common/usage.h"

#include "common/console.h"
#include "common/version.h"

namespace {

bool IsOnlyArgument(int argc, char16_t** argv, const char16_t* option) {
  return argc == 2 && WideString(argv[1]) == option;
}

// The part of the usage text that every walking program shares.
const char kSharedUsage[] =
    "\n"
    "Progress and findings are printed on the console and appended to the\n"
    "log: logfile, or zazovavadera_log.txt in the current folder when no\n"
    "logfile is given. The log is UTF-16LE without a byte-order mark; on\n"
    "Linux, iconv -f UTF-16LE -t UTF-8 shows it. Findings begin with\n"
    "SUSPICIOUS:, progress with INFO:, failures with ERROR:.\n"
    "\n"
    "The Windows folder to examine:\n"
    "  VORLKIT_WINDOWS  when set and not empty, this folder, used as given,\n"
    "                   and its system32 folder; the system is not asked\n"
    "  SystemRoot       on Linux, the Windows folder when VORLKIT_WINDOWS is\n"
    "                   not set; on Windows the running Windows is examined\n"
    "  VORLKIT_IMAGE    on Linux, the Windows folder inside this evidence\n"
    "                   image (raw, split .001, E01, VHD, VMDK, AFF or a\n"
    "                   block device), read as it is, without mounting;\n"
    "                   VORLKIT_WINDOWS then names the folder inside the\n"
    "                   volume and VORLKIT_VOLUME the volume's byte offset\n"
    "\n"
    "On Windows, from an administrator's console, each folder walked is\n"
    "also read from the raw NTFS volume under it and compared with the\n"
    "system's listing, so that what a kernel-mode implant hides is found:\n"
    "  VORLKIT_RAW      0 turns the comparison off; 1 requires it, with an\n"
    "                   ERROR line when it cannot run\n"
    "\n"
    "Exit codes:\n"
    "  0  the folder was walked, findings or not (or this text was shown)\n"
    "  1  the log could not be opened\n"
    "\n"
    "  -h, --help, /?  show this text\n"
    "  --version       show the kit's version\n";

}  // namespace

bool AsksForHelp(int argc, char16_t** argv) {
  return IsOnlyArgument(argc, argv, u"--help") ||
         IsOnlyArgument(argc, argv, u"-h") || IsOnlyArgument(argc, argv, u"/?");
}

bool AsksForVersion(int argc, char16_t** argv) {
  return IsOnlyArgument(argc, argv, u"--version");
}

void PrintVersion(const char* program) {
  ConsolePrintBytes(program);
  ConsolePrintBytes(" (vorlkit) ");
  ConsolePrintBytes(kKitVersion);
  ConsolePrintBytes("\n");
}

bool AnswerAboutProgram(int argc, char16_t** argv, const char* program,
                        const char* what_it_does) {
  if (AsksForVersion(argc, argv)) {
    PrintVersion(program);
    return true;
  }
  if (!AsksForHelp(argc, argv)) return false;
  ConsolePrintBytes("Usage: ");
  ConsolePrintBytes(program);
  ConsolePrintBytes(" [logfile]\n\n");
  ConsolePrintBytes(what_it_does);
  ConsolePrintBytes(kSharedUsage);
  return true;
}
