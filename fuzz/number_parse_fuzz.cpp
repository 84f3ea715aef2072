// Fuzz target: the number parsers and the small text splitters. The input up to its first
// NUL is the text. AToI must give what the standard 64-bit conversion gives, clamped to int,
// with ERANGE exactly when it clamps; IToA must write it back; IsNumber must agree with a
// character scan; ConvertArgsToArray (with a count from the first byte) must only hand out
// parts inside the text.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "system/strings/string_utils.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text.resize(std::strlen(text.c_str()));

  errno = 0;
  const long long wide = std::strtoll(text.c_str(), nullptr, 10);
  const bool clamps = wide > INT_MAX || wide < INT_MIN;
  const int value = Yr::AToI(text.c_str());
  Check(errno == (clamps ? ERANGE : 0));
  Check(value == (wide > INT_MAX ? INT_MAX : wide < INT_MIN ? INT_MIN : static_cast<int>(wide)));

  char digits[Yr::kIToASize];
  Yr::IToA(value, digits);
  Check(std::strlen(digits) < Yr::kIToASize && Yr::AToI(digits) == value);

  // Hexadecimal: where the text (after white space) starts with hexadecimal digits and no 0x
  // prefix, the value is that of its first 16 digits at most.
  const size_t start = text.find_first_not_of(" \t\n\v\f\r");
  if (start != std::string::npos && !(text[start] == '0' && start + 1 < text.size() && (text[start + 1] | 0x20) == 'x')) {
    const std::string hexDigits = text.substr(start, 16);
    const size_t run = std::min(hexDigits.find_first_not_of("0123456789abcdefABCDEF"), hexDigits.size());
    if (run > 0) Check(Yr::AToI64(text.c_str()) == std::strtoull(hexDigits.substr(0, run).c_str(), nullptr, 16));
  }

  bool number = true;
  for (char c : text) number = number && ((c >= '0' && c <= '9') || c == '-');
  Check(Yr::IsNumber(text.c_str()) == number);

  Check(Yr::StringUtils::ConvertToBool(text.c_str()) == Yr::StringUtils::ConvertToBool(std::string(text).c_str()));

  const int count = size > 0 ? data[0] % 16 : 1;
  std::vector<char> copy(text.begin(), text.end());
  copy.push_back('\0');
  std::vector<char*> parts(static_cast<size_t>(count) + 1, copy.data());
  char* const sentinel = reinterpret_cast<char*>(&parts);
  parts.back() = sentinel;
  Yr::StringUtils::ConvertArgsToArray(copy.data(), count, parts.data(), ':');
  Check(parts.back() == sentinel);
  for (int i = 0; i < count; ++i)
    Check(parts[i] == nullptr || (parts[i] >= copy.data() && parts[i] <= copy.data() + text.size()));
  return 0;
}
