// Reading report files and matching their lines, for the report tests.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace YrTest {

// The whole file as it is on disk; empty when it cannot be read.
inline std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

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

// Regular expressions for report lines: an address or register of pointer width (two
// upper-case hex digits per byte), and the date line.
inline const std::string kHexPointer = "[0-9A-F]{" + std::to_string(2 * sizeof(void*)) + "}";
inline const std::string kDateLine = "\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d";

}  // namespace YrTest
