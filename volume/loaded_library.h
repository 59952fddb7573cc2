// Debian's libraries of the libyal family (libvshadow, libqcow), loaded when
// first needed rather than linked. Each carries its own copies of the same
// helper libraries (libbfio, libcdata and others) under the same names, as
// do the libraries of the image formats that libtsk brings (libewf,
// libvmdk, libvhdi). Linked into the programs, a library's copies would
// take the place of the others' for all of them and break those formats;
// loaded on its own, it uses the process's, and so does the kit for the
// libbfio handles it hands it.
#ifndef VOLUME_LOADED_LIBRARY_H_
#define VOLUME_LOADED_LIBRARY_H_

#include <dlfcn.h>

// Loads the library `soname` without letting its names take the place of
// the process's; null when it cannot be loaded.
inline void* LoadLibraryOnItsOwn(const char* soname) {
  return dlopen(soname, RTLD_NOW | RTLD_LOCAL);
}

// The function `name` of `library`; false when it has none.
template <typename Function>
bool FindFunction(void* library, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(dlsym(library, name));
  return *function != nullptr;
}

// A helper library's function (libbfio's) as the process already has it,
// or else the one that came with `library`: the one that the library's own
// calls reach.
template <typename Function>
bool FindSharedFunction(void* library, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(dlsym(RTLD_DEFAULT, name));
  return *function != nullptr || FindFunction(library, name, function);
}

#endif  // VOLUME_LOADED_LIBRARY_H_
