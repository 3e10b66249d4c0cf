// Stand-ins for window modules that are not this build's: one from another
// build, and (QUILLON_NEEDS_PROGRAM) one that needs a symbol of the program,
// as modules did before the program stopped exporting its code.
#include <cstdlib>

#ifdef QUILLON_NEEDS_PROGRAM
extern "C" void quillon_symbol_of_the_program();
#endif

extern "C" {

__attribute__((visibility("default"))) extern const char quillon_gui_build[] =
    "0.0.1 (build 0123456789abcdef)";

// Never called: the identity differs.
__attribute__((visibility("default"))) bool quillon_gui_make_toolkit(const char*, void*, void*) {
#ifdef QUILLON_NEEDS_PROGRAM
  quillon_symbol_of_the_program();
#endif
  std::abort();
}

}  // extern "C"
