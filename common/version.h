// The kit's version, the one named in project() of the top CMakeLists.txt,
// shared by every program of the kit.
#ifndef COMMON_VERSION_H_
#define COMMON_VERSION_H_

// "major.minor.patch".
extern const char kKitVersion[];

#endif  // COMMON_VERSION_H_
