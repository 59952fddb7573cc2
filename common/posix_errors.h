// The Windows error code of a failed POSIX call, for the kit's POSIX code,
// so that every program reports the codes it would report on Windows.
#ifndef COMMON_POSIX_ERRORS_H_
#define COMMON_POSIX_ERRORS_H_

#include <cstdint>
#include <string>

// The code for the errno value `error` of a call on `path` (empty when the
// call named no path): a missing file is 0x2, and 0x3 when the folder that
// would hold it is missing.
uint32_t WindowsErrorFromErrno(int error, const std::string& path = "");

#endif  // COMMON_POSIX_ERRORS_H_
