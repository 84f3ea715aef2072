// Splitting report files into lines for the report tests.
#pragma once

#include <string>
#include <vector>

namespace YrTest {

// Lines split at "\r\n", without it; a last line that does not end so is kept with the
// marker "<no line end>", so a missing line end is visible in a comparison.
inline std::vector<std::string> SplitReportLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      lines.push_back(text.substr(at) + "<no line end>");
      break;
    }
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

}  // namespace YrTest
