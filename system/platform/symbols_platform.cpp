#include "system/platform/symbols_platform.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elfutils/libdwfl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <new>

namespace Yr::Platform {
namespace {

static_assert(sizeof(Dwfl_Callbacks) <= sizeof(SymbolSession::callbacks), "callback storage too small");

Dwfl* Handle(SymbolSession& session) { return static_cast<Dwfl*>(session.handle); }

void Copy(char* out, size_t size, const char* text) {
  if (!out || size == 0) return;
  size_t length = text ? std::strlen(text) : 0;
  if (length > size - 1) length = size - 1;
  if (length) std::memcpy(out, text, length);
  out[length] = '\0';
}

// C++ names are shown undecorated; anything else as it is.
void CopyName(char* out, size_t size, const char* symbol) {
  if (symbol[0] == '_' && symbol[1] == 'Z') {
    int status = 0;
    char* readable = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
    if (status == 0 && readable) {
      Copy(out, size, readable);
      ::free(readable);
      return;
    }
    ::free(readable);
  }
  Copy(out, size, symbol);
}

bool Report(Dwfl* dwfl) {
  dwfl_report_begin(dwfl);
  int failed = dwfl_linux_proc_report(dwfl, ::getpid());
  return dwfl_report_end(dwfl, nullptr, nullptr) == 0 && failed == 0;
}

}  // namespace

bool OpenSymbolSession(SymbolSession& session, const char* searchPath, unsigned long& error) {
  std::memset(&session, 0, sizeof session);
  Copy(session.path, sizeof session.path, searchPath);
  session.pathPointer = session.path[0] ? session.path : nullptr;
  Dwfl_Callbacks* callbacks = new (session.callbacks) Dwfl_Callbacks{};
  callbacks->find_elf = dwfl_linux_proc_find_elf;
  callbacks->find_debuginfo = dwfl_standard_find_debuginfo;
  callbacks->section_address = nullptr;
  callbacks->debuginfo_path = session.pathPointer ? &session.pathPointer : nullptr;
  Dwfl* dwfl = dwfl_begin(callbacks);
  if (!dwfl) {
    error = static_cast<unsigned long>(dwfl_errno());
    return false;
  }
  if (!Report(dwfl)) {
    error = static_cast<unsigned long>(dwfl_errno());
    dwfl_end(dwfl);
    return false;
  }
  session.handle = dwfl;
  error = 0;
  return true;
}

bool CloseSymbolSession(SymbolSession& session, unsigned long& error) {
  error = 0;
  if (!session.handle) return true;
  dwfl_end(Handle(session));
  session.handle = nullptr;
  // dwfl_end reports nothing; a pending reader error is the only failure there is.
  int pending = dwfl_errno();
  error = static_cast<unsigned long>(pending);
  return pending == 0;
}

SymbolFound LookupSymbol(SymbolSession& session, uintptr_t address, char* name, size_t nameSize, char* module,
                         size_t moduleSize, char* file, size_t fileSize) {
  SymbolFound found = {false, false, false, 0};
  Copy(name, nameSize, "");
  Copy(module, moduleSize, "");
  Copy(file, fileSize, "");
  if (Dwfl* dwfl = Handle(session)) {
    Dwarf_Addr where = static_cast<Dwarf_Addr>(address);
    Dwfl_Module* owner = dwfl_addrmodule(dwfl, where);
    // A module loaded after the session opened: take in the current module list once.
    if (!owner && Report(dwfl)) owner = dwfl_addrmodule(dwfl, where);
    if (owner) {
      const char* image = dwfl_module_info(owner, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
      if (image && *image) {
        Copy(module, moduleSize, image);
        found.module = true;
      }
      if (const char* symbol = dwfl_module_addrname(owner, where); symbol && *symbol) {
        CopyName(name, nameSize, symbol);
        found.name = true;
      }
      if (Dwfl_Line* line = dwfl_module_getsrc(owner, where)) {
        int number = 0;
        const char* source = dwfl_lineinfo(line, nullptr, &number, nullptr, nullptr, nullptr);
        if (source && *source) {
          Copy(file, fileSize, source);
          found.line = true;
          found.lineNumber = number;
        }
      }
    }
  }
  if (!found.name || !found.module) {
    // The loader's own tables as the fallback: exported names and the module's path.
    Dl_info info;
    if (::dladdr(reinterpret_cast<void*>(address), &info) != 0) {
      if (!found.module && info.dli_fname && *info.dli_fname) {
        Copy(module, moduleSize, info.dli_fname);
        found.module = true;
      }
      if (!found.name && info.dli_sname && *info.dli_sname) {
        CopyName(name, nameSize, info.dli_sname);
        found.name = true;
      }
    }
  }
  return found;
}

}  // namespace Yr::Platform
