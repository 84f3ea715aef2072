// What the symbol lookup of every system shares: texts, undecorated names, and the half of
// the call-frame step that applies a rule to this process's stack.
#include "system/platform/symbols_common.h"

#include <stdlib.h>

#include <cxxabi.h>

#include <cstring>

#include "system/platform/process_platform.h"
#include "system/platform/symbols_platform.h"

namespace Yr::Detail {

void CopySymbolText(char* out, size_t size, const char* text) {
  if (!out || size == 0) return;
  size_t length = text ? std::strlen(text) : 0;
  if (length > size - 1) length = size - 1;
  if (length) std::memcpy(out, text, length);
  out[length] = '\0';
}

char* DemangledCopy(const char* symbol) {
  if (symbol[0] != '_' || symbol[1] != 'Z') return nullptr;
  int status = 0;
  char* readable = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
  if (status == 0 && readable) return readable;
  ::free(readable);
  return nullptr;
}

}  // namespace Yr::Detail

namespace Yr::Platform {

bool ApplyFrameRule(const FrameRule& rule, uintptr_t sp, uintptr_t bp, FrameStep& out) {
  uintptr_t cfa = sp + static_cast<uintptr_t>(rule.cfaOffset);
  uintptr_t slot = cfa - sizeof(void*);  // the return address sits just below the frame's base
  if (!ReadableBytes(reinterpret_cast<const void*>(slot), sizeof(void*))) return false;
  out.returnAddress = *reinterpret_cast<const uintptr_t*>(slot);
  out.callerStack = cfa;
  out.callerFrame = bp;
  if (rule.frameSaved) {
    uintptr_t saved = cfa + static_cast<uintptr_t>(rule.frameOffset);
    if (ReadableBytes(reinterpret_cast<const void*>(saved), sizeof(void*)))
      out.callerFrame = *reinterpret_cast<const uintptr_t*>(saved);
  }
  return true;
}

bool FramelessStep(SymbolSession& session, uintptr_t ip, uintptr_t sp, uintptr_t bp, FrameStep& out) {
  FrameRule rule;
  return FrameRuleAt(session, ip, rule) && ApplyFrameRule(rule, sp, bp, out);
}

}  // namespace Yr::Platform
