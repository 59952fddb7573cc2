// Tool start-up and the shared run log: every program opens the log named on
// its command line (or the default), writes a start line, reports through the
// routes below and closes the log after its walk.
#ifndef COMMON_RUN_LOG_H_
#define COMMON_RUN_LOG_H_

#include "common/format.h"
#include "common/platform.h"
#include "common/text.h"

// The log's name when the command line names none, in the current folder.
extern const char16_t kDefaultLogName[];

// Takes the log path from the arguments (exactly one after the program, or
// the default with a notice) and opens it for appending without sharing.
// On failure prints the creation error and returns false: the program then
// exits with code 1.
bool OpenRunLog(int argc, char16_t** argv);

// Appends the start line: "\r\n<program> is started at MM/DD/YYYY hh:mm\r\n"
// in UTC.
void WriteRunHeader(const char16_t* program_path);

// Chooses what the walk examines and says so, right after the start line:
// the Windows folder inside the evidence image that VORLKIT_IMAGE names, or
// the one VORLKIT_WINDOWS names, each with a line in the log and on the
// console; otherwise the system's own, without a word. False when the image
// cannot be examined: the error is then reported and nothing is to be
// examined in its place.
bool StartExamination();

// After a walk: chooses the next shadow copy of the evidence image's volume
// to walk, newest first, and says so with a line in the log and on the
// console; a copy that cannot be examined gets an error line instead, and
// the next is taken. False when no copy is left to walk. A copy in which
// nothing is new for the walk gets its line but no walk.
bool NextExamination();

// Appends the formatted message to the log, then prints it on the console.
void LogAndEcho(const char16_t* format,
                std::initializer_list<FormatArg> args = {});

// Prints the formatted message on the console, then appends it to the log.
void EchoThenLog(const char16_t* format,
                 std::initializer_list<FormatArg> args = {});

// Appends the formatted message to the log only.
void LogOnly(const char16_t* format,
             std::initializer_list<FormatArg> args = {});

// Says whether the walk's folder was compared with the raw volume: that it
// was, or, where the comparison was required, why it could not be; nothing
// when it did not run.
void ReportFolderComparison(const FolderComparison& comparison,
                            const WideString& folder);

// Reports a file that the system's listing hides and the raw volume holds.
void ReportHiddenEntry(const WideString& shown_name);

// Why an evidence image cannot be examined, in the words of the error line.
const char16_t* ImageProblemText(ImageProblem problem);

// Releases the log.
void CloseRunLog();

#endif  // COMMON_RUN_LOG_H_
