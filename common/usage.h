// The command lines on which a program answers about itself instead of
// examining anything: "--help", "-h" or "/?" for its usage text and
// "--version" for the kit's version, each only as the one argument.
#ifndef COMMON_USAGE_H_
#define COMMON_USAGE_H_

// True when the one argument asks for the usage text.
bool AsksForHelp(int argc, char16_t** argv);

// True when the one argument is "--version".
bool AsksForVersion(int argc, char16_t** argv);

// Prints "<program> (vorlkit) <version>".
void PrintVersion(const char* program);

// For the programs that walk a Windows folder: prints the usage text or the
// version when the arguments ask for it and returns true; the program then
// exits with 0 without opening its log. `what_it_does` says what the
// program examines and what it reports, in lines of at most 78 characters.
bool AnswerAboutProgram(int argc, char16_t** argv, const char* program,
                        const char* what_it_does);

#endif  // COMMON_USAGE_H_
