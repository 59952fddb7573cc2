// The Windows error codes that the kit reports, on every platform, so that
// logs read alike wherever a program ran. kErrorSuccess is no error.
#ifndef COMMON_ERROR_CODES_H_
#define COMMON_ERROR_CODES_H_

#include <cstdint>

enum : uint32_t {
  kErrorSuccess = 0x0,
  kErrorFileNotFound = 0x2,
  kErrorPathNotFound = 0x3,
  kErrorTooManyOpenFiles = 0x4,
  kErrorAccessDenied = 0x5,
  kErrorNotEnoughMemory = 0x8,
  kErrorWriteProtect = 0x13,
  kErrorGenFailure = 0x1f,
  kErrorSharingViolation = 0x20,
  kErrorNotSupported = 0x32,
  kErrorInvalidParameter = 0x57,
  kErrorDiskFull = 0x70,
  kErrorModuleNotFound = 0x7e,
  kErrorNegativeSeek = 0x83,
  kErrorEnvVarNotFound = 0xcb,
  kErrorFilenameTooLong = 0xce,
  kErrorUnrecognizedVolume = 0x3ed,
  kErrorIoDevice = 0x45d,
  kErrorFileCorrupt = 0x570,
  kErrorCantResolveFilename = 0x781,
  kErrorFileEncrypted = 0x1772,
  // What Windows says of a volume that BitLocker keeps locked.
  kErrorVolumeLocked = 0x80310000,
};

#endif  // COMMON_ERROR_CODES_H_
