// The wide-character entry point. The kit_entry library turns the process's
// arguments into UTF-16, calls WideMain, flushes the console and exits with
// WideMain's result; each program defines WideMain.
#ifndef COMMON_ENTRY_H_
#define COMMON_ENTRY_H_

int WideMain(int argc, char16_t** argv);

#endif  // COMMON_ENTRY_H_
