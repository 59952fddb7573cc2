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
