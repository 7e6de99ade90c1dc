#pragma once

namespace mornix {

// Settles how this process spends memory on things it barely uses, before any other thread,
// regular expression or TLS object exists:
// - threads share two malloc arenas instead of one arena per thread (each of which keeps its
//   own touched pages for the life of the process); a limit the user set in MALLOC_ARENA_MAX or
//   GLIBC_TUNABLES is kept;
// - regular expressions are interpreted, not compiled to machine code: the patterns this
//   program matches are short and matched rarely, and the JIT compiler alone is most of the
//   pages of libpcre2 it would touch. A choice made in QT_ENABLE_REGEXP_JIT is kept. The
//   process environment is left as it was, so children inherit nothing.
// The variables are glibc's and Qt's own, which they read from the process environment; this
// only looks whether the user set them. Thread: main thread, first thing in main.
void tuneProcessMemory();

}  // namespace mornix
