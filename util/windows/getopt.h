// Single-letter command-line option scanner with a restart flag.
//
// The names follow the classic interface but live in util::windows, so a
// program may link this scanner and the C library side by side.
#pragma once

namespace util::windows {

extern int optind;   // index of the next argument to scan (starts at 1)
extern int opterr;   // nonzero: report bad options on standard error
extern int optopt;   // the option character examined last
extern int optreset; // nonzero: start a fresh scan at optind on the next call
extern char* optarg; // argument of the last option that takes one

// Returns the next option letter, '?' for an unknown letter or a missing
// argument, ':' for a missing argument when ostr begins with ':', and -1 at
// the end of the options. nargv, ostr and nargv[0] must not be null.
int getopt(int nargc, char* const nargv[], const char* ostr);

} // namespace util::windows
