// The parts of the dump writer that are the same on every system: which dump and where.
#include "system/debug/minidump.h"

#include <cstring>

namespace Yr::Detail {

DumpKind DumpKindFor(int crashDumpFormat) {
  if (crashDumpFormat <= 0) return kDumpNone;
  if (crashDumpFormat > kDumpWithFullMemory) return kDumpNormal;
  return static_cast<DumpKind>(crashDumpFormat);
}

bool DumpFileName(const char* reportName, char* out, size_t size) {
  if (!reportName || !out) return false;
  size_t length = std::strlen(reportName);
  if (length > kMaxDumpBaseName || length + sizeof kDumpSuffix > size) return false;
  std::memcpy(out, reportName, length);
  std::memcpy(out + length, kDumpSuffix, sizeof kDumpSuffix);
  return true;
}

}  // namespace Yr::Detail
