// The helper the channel tests start. Its first argument says what it does:
//   arguments  answers with the count of the arguments after the first, then each one
//              (a 32-bit length and its bytes), and ends;
//   echo       sends back every byte it receives until the caller closes its end;
//   silent     receives until the caller closes its end and answers nothing;
//   gone       ends at once.
#include <cstdint>
#include <cstring>

#include "system/platform/child_platform.h"

using namespace Yr::Platform;

namespace {

constexpr size_t kPieceBytes = 4096;

bool SendCount(uint32_t value) { return WriteToCaller(&value, sizeof value); }

}  // namespace

int main(int argc, char** argv) {
  BecomeHelper();
  if (argc < 2) return 2;
  const char* mode = argv[1];
  char piece[kPieceBytes];
  if (std::strcmp(mode, "arguments") == 0) {
    SendCount(static_cast<uint32_t>(argc - 2));
    for (int i = 2; i < argc; ++i) {
      uint32_t length = static_cast<uint32_t>(std::strlen(argv[i]));
      if (!SendCount(length) || !WriteToCaller(argv[i], length)) return 1;
    }
    return 0;
  }
  if (std::strcmp(mode, "echo") == 0) {
    for (ptrdiff_t got; (got = ReadFromCaller(piece, sizeof piece)) > 0;)
      if (!WriteToCaller(piece, static_cast<size_t>(got))) return 1;
    return 0;
  }
  if (std::strcmp(mode, "silent") == 0) {
    while (ReadFromCaller(piece, sizeof piece) > 0) {
    }
    return 0;
  }
  return std::strcmp(mode, "gone") == 0 ? 0 : 2;
}
