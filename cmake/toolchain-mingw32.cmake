# 32-bit Windows (x86), run under Wine. SSE2 with scalar float math in SSE registers, as in
# the Linux 32-bit build: floats round as on x86-64.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(YR_MINGW_TRIPLE i686-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake")
string(APPEND CMAKE_C_FLAGS_INIT " -msse2 -mfpmath=sse")
string(APPEND CMAKE_CXX_FLAGS_INIT " -msse2 -mfpmath=sse")
