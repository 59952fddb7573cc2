#include "common/posix_errors.h"

#include <errno.h>
#include <sys/stat.h>

#include "common/error_codes.h"

namespace {

// True when the folder that would hold `path` does not exist (or is no
// folder), so that the path fails on its way rather than at its end.
bool ParentFolderMissing(const std::string& path) {
  std::string::size_type end = path.find_last_not_of('/');
  if (end == std::string::npos) return false;
  std::string::size_type slash = path.rfind('/', end);
  if (slash == std::string::npos)
    return false;  // In the current folder, which exists.
  std::string parent = path.substr(0, slash + 1);
  struct stat info;
  return stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode);
}

}  // namespace

uint32_t WindowsErrorFromErrno(int error, const std::string& path) {
  switch (error) {
    case ENOENT:
      return ParentFolderMissing(path) ? kErrorPathNotFound
                                       : kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
      return kErrorAccessDenied;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    case ENAMETOOLONG:
      return kErrorFilenameTooLong;
    case ELOOP:
      return kErrorCantResolveFilename;
    case EIO:
      return kErrorIoDevice;
    case EROFS:
      return kErrorWriteProtect;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    default:
      return kErrorGenFailure;
  }
}
