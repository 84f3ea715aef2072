// Fuzz target: the command-line tokenizer. Any bytes up to the first NUL form the line.
// Checks what must hold for every input: no word reaches the length at which words are
// dropped, and no input yields more words than it has characters plus one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "system/options/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> line(data, data + size);
  line.push_back('\0');
  Yr::Options::TokenList tokens;
  Yr::Options::SplitLine(line.data(), tokens);
  const size_t length = std::strlen(line.data());
  if (tokens.Count() > length + 1) std::abort();
  for (const Yr::StringId& token : tokens) {
    if (token.CStr() == nullptr || token.Length() >= Yr::Detail::kTokenLimit) std::abort();
    if (token.Length() > length) std::abort();
  }
  tokens.Release();
  Yr::StringId::GC(false);
  return 0;
}
