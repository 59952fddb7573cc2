#include "common/version.h"

// The build defines KIT_VERSION from the project's version.
const char kKitVersion[] = KIT_VERSION;
