// YR_API marks the public interface of the library. On Linux the library is built with
// hidden visibility, so only what carries this macro can be linked against; on Windows it
// is what the DLL exports (dllexport while the library itself is built, dllimport in its
// users). Inline functions the library also exports, for callers that take their address,
// carry YR_API_INLINE: a Windows user compiles its own copy instead of importing one.
//
// YR_PRINTF(formatIndex, firstIndex) checks printf-style arguments by the C99 rules the library's
// formatting follows (%zu, %lld) on every system.
#pragma once

#if defined(_WIN32)
#if defined(YR_BUILDING_LIBRARY)
#define YR_API __declspec(dllexport)
#define YR_API_INLINE __declspec(dllexport)
#else
#define YR_API __declspec(dllimport)
#define YR_API_INLINE
#endif
#define YR_PRINTF(formatIndex, firstIndex) __attribute__((format(gnu_printf, formatIndex, firstIndex)))
#else
#define YR_API __attribute__((visibility("default")))
#define YR_API_INLINE YR_API
#define YR_PRINTF(formatIndex, firstIndex) __attribute__((format(printf, formatIndex, firstIndex)))
#endif
