// Runtime options of the AddressSanitizer builds, compiled into every
// program and test there. They are set here rather than in ASAN_OPTIONS
// because the end-to-end harness starts the programs with PATH and HOME
// alone.

// A refused allocation returns null, as it does without the sanitizer, so
// that a file too large to hold takes the kit's own route (error 0x8)
// instead of ending the process.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

// The image libraries keep some of what they allocate while they guess an
// image's format or partition table (libtsk with libvhdi, libvmdk, afflib
// and libewf): their leaks, not the kit's, are left out of the report.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libtsk.so\n"
         "leak:libvhdi.so\n"
         "leak:libvmdk.so\n"
         "leak:libafflib.so\n"
         "leak:libewf.so\n";
}
