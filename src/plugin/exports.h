// The three entry points the host calls, with C linkage and plain names.
#pragma once

#include <cstdint>

#if __has_include("platform/exports.h")
#include "platform/exports.h"
#endif

// The host's calling convention: callee-pops on 32-bit Windows, the
// platform's own elsewhere.
#ifndef TABULON_STDCALL
#if defined(_WIN32) && !defined(_WIN64)
#define TABULON_STDCALL __stdcall
#else
#define TABULON_STDCALL
#endif
#endif

// Marks a function as one of the library's exports (everything else is
// hidden).
#ifndef TABULON_EXPORT
#if defined(_WIN32)
#define TABULON_EXPORT extern "C"
#else
#define TABULON_EXPORT extern "C" __attribute__((visibility("default")))
#endif
#endif

// Marks the host ready; returns the library's identification text.
TABULON_EXPORT const char* TABULON_STDCALL iniSocketXtra(int32_t HostVersion);
// Values of the cells the request lists; null before iniSocketXtra. The
// answer block belongs to the caller.
TABULON_EXPORT char* TABULON_STDCALL getCellValueRef(int32_t Reserved1, int32_t Reserved2, const char* NickName,
                                                     const char* Room, const char* Domain, const char* Request);
// Values of the rectangular block of cells the request names.
TABULON_EXPORT char* TABULON_STDCALL getMultiCellValueRef(int32_t Reserved1, int32_t Reserved2, const char* NickName,
                                                          const char* Room, const char* Domain,
                                                          const char* Request);
