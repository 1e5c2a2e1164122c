// How the library's entry points are declared for the host.
//
// The host calls them with the standard (callee-pops) convention of 32-bit
// Windows, every argument in one 32-bit stack slot. The compiler decorates
// such a name as name@<bytes of arguments>; src/plugin/Tabulon.def exports it
// under its plain name. Elsewhere the convention is the platform's own and
// the names are exported with default visibility.
#pragma once

#if defined(_WIN32) && !defined(_WIN64)
#define TABULON_STDCALL __stdcall
#else
#define TABULON_STDCALL
#endif

// On Windows the .def file is the list of exports, so nothing is marked
// dllexport (which would also export the decorated names).
#if defined(_WIN32)
#define TABULON_EXPORT extern "C"
#else
#define TABULON_EXPORT extern "C" __attribute__((visibility("default")))
#endif
