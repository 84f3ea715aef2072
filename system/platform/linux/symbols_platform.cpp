#include "system/platform/symbols_platform.h"

#include "system/platform/process_platform.h"
#include "system/platform/symbols_common.h"
#include "system/platform/linux/symbol_index.h"

#include <dlfcn.h>
#include <dwarf.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <link.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <new>

namespace Yr::Platform {
namespace {

static_assert(sizeof(Dwfl_Callbacks) <= sizeof(SymbolSession::callbacks), "callback storage too small");

Dwfl* Handle(SymbolSession& session) { return static_cast<Dwfl*>(session.handle); }

void Copy(char* out, size_t size, const char* text) { Detail::CopySymbolText(out, size, text); }

// C++ names are shown undecorated; anything else as it is.
void CopyName(char* out, size_t size, const char* symbol) {
  char* readable = Detail::DemangledCopy(symbol);
  Copy(out, size, readable ? readable : symbol);
  ::free(readable);
}

// A module's file is read, not mapped: a mapping of it would show in this process's module
// list right beside the loader's own mappings of the same file, and the list's reader would
// take both for one module starting at the wrong address, answering with wrong names from
// then on (for a later session over this process, or this one after it reads the list
// again, or a crash helper reading it). Files that cannot be opened by name (deleted, or
// the system's virtual modules) are read as the reader reads them by default.
int FindModuleFile(Dwfl_Module* module, void** data, const char* name, Dwarf_Addr base, char** fileName, Elf** elf) {
  if (name && name[0] == '/') {
    int descriptor = ::open(name, O_RDONLY | O_CLOEXEC);
    if (descriptor >= 0) {
      Elf* read = elf_begin(descriptor, ELF_C_READ, nullptr);
      char* copy = read ? ::strdup(name) : nullptr;
      if (copy && elf_kind(read) == ELF_K_ELF) {
        *elf = read;
        *fileName = copy;
        return descriptor;  // the reader closes it with the module
      }
      ::free(copy);
      if (read) elf_end(read);
      ::close(descriptor);
    }
  }
  return dwfl_linux_proc_find_elf(module, data, name, base, fileName, elf);
}

// 0 stands for the calling process, whatever its id is now (a forked child has a new one).
uint32_t ProcessOf(uint32_t process) { return process != 0 ? process : OwnProcessId(); }

Detail::SymbolIndexSet* Indexes(SymbolSession& session) { return static_cast<Detail::SymbolIndexSet*>(session.indexes); }

// A session opened over process 0 is over the caller's own without asking the system.
bool OwnProcess(const SymbolSession& session) { return session.process == 0 || session.process == OwnProcessId(); }

int CountLoaderChanges(dl_phdr_info* info, size_t size, void* total) {
  // Every entry carries the same counts: the first one is enough.
  if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs)
    *static_cast<uint64_t*>(total) = static_cast<uint64_t>(info->dlpi_adds) + static_cast<uint64_t>(info->dlpi_subs);
  return 1;
}

// How many times the loader has loaded or unloaded a module in this process.
uint64_t LoaderChanges() {
  uint64_t total = 0;
  dl_iterate_phdr(&CountLoaderChanges, &total);
  return total;
}

// Reads the module list again: modules not in it any more are dropped, with their indexes.
bool Report(SymbolSession& session) {
  Dwfl* dwfl = Handle(session);
  if (OwnProcess(session)) session.loaderChanges = LoaderChanges();
  dwfl_report_begin(dwfl);
  int failed = dwfl_linux_proc_report(dwfl, static_cast<pid_t>(ProcessOf(session.process)));
  bool reported = dwfl_report_end(dwfl, nullptr, nullptr) == 0 && failed == 0;
  Detail::ForgetGoneModules(Indexes(session), dwfl);
  return reported;
}

}  // namespace

bool OpenSymbolSession(SymbolSession& session, const char* searchPath, unsigned long& error) {
  return OpenProcessSymbolSession(session, 0, searchPath, error);
}

bool OpenProcessSymbolSession(SymbolSession& session, uint32_t process, const char* searchPath,
                              unsigned long& error) {
  std::memset(&session, 0, sizeof session);
  session.process = process;
  Copy(session.path, sizeof session.path, searchPath);
  session.pathPointer = session.path[0] ? session.path : nullptr;
  Dwfl_Callbacks* callbacks = new (session.callbacks) Dwfl_Callbacks{};
  callbacks->find_elf = FindModuleFile;
  callbacks->find_debuginfo = dwfl_standard_find_debuginfo;
  callbacks->section_address = nullptr;
  callbacks->debuginfo_path = session.pathPointer ? &session.pathPointer : nullptr;
  Dwfl* dwfl = dwfl_begin(callbacks);
  if (!dwfl) {
    error = static_cast<unsigned long>(dwfl_errno());
    return false;
  }
  session.handle = dwfl;
  if (!Report(session)) {
    error = static_cast<unsigned long>(dwfl_errno());
    dwfl_end(dwfl);
    session.handle = nullptr;
    return false;
  }
  // Without memory for the indexes, lookups read the debug information as they go.
  session.indexes = Detail::NewSymbolIndexSet();
  session.indexed = true;
  error = 0;
  return true;
}

bool CloseSymbolSession(SymbolSession& session, unsigned long& error) {
  error = 0;
  if (!session.handle) return true;
  // The indexes hold the reader's texts: they go first.
  Detail::DeleteSymbolIndexSet(Indexes(session));
  session.indexes = nullptr;
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
  const bool own = OwnProcess(session);
  if (Dwfl* dwfl = Handle(session)) {
    // A module unloaded since the list was read may have left its record over an address
    // another module now holds.
    if (own && LoaderChanges() != session.loaderChanges) Report(session);
    Dwarf_Addr where = static_cast<Dwarf_Addr>(address);
    Dwfl_Module* owner = dwfl_addrmodule(dwfl, where);
    // A module loaded after the session opened: take in the current module list once.
    if (!owner && Report(session)) owner = dwfl_addrmodule(dwfl, where);
    if (owner) {
      const char* image = dwfl_module_info(owner, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
      if (image && *image) {
        Copy(module, moduleSize, image);
        found.module = true;
      }
      const char* symbol = nullptr;  // demangled when it comes from the index
      const char* source = nullptr;
      int number = 0;
      if (session.indexed && Detail::IndexedLookup(Indexes(session), owner, address, &symbol, &source, &number)) {
        if (symbol) {
          Copy(name, nameSize, symbol);
          found.name = true;
        }
      } else {
        if ((symbol = Detail::ReaderName(owner, address)) != nullptr) {
          CopyName(name, nameSize, symbol);
          found.name = true;
        }
        if (!Detail::ReaderLine(owner, address, &source, &number)) source = nullptr;
      }
      if (source) {
        Copy(file, fileSize, source);
        found.line = true;
        found.lineNumber = number;
      }
    }
  }
  if ((!found.name || !found.module) && own) {
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

bool SymbolIndexInfoAt(SymbolSession& session, uintptr_t address, SymbolIndexInfo& out) {
  Dwfl* dwfl = Handle(session);
  if (!dwfl) return false;
  Dwfl_Module* owner = dwfl_addrmodule(dwfl, static_cast<Dwarf_Addr>(address));
  Detail::SymbolIndexStats stats;
  if (!owner || !Detail::IndexStats(Indexes(session), owner, stats)) return false;
  out = {stats.nameSegments, stats.lineSegments, stats.bytes, stats.buildNanoseconds};
  return true;
}

bool FrameRuleAt(SymbolSession& session, uintptr_t ip, FrameRule& out) {
  // DWARF register numbers of the stack and frame pointers.
#if UINTPTR_MAX > 0xFFFFFFFFu
  constexpr int kStackRegister = 7, kFrameRegister = 6;
#else
  constexpr int kStackRegister = 4, kFrameRegister = 5;
#endif
  Dwfl* dwfl = Handle(session);
  if (!dwfl) return false;
  Dwfl_Module* owner = dwfl_addrmodule(dwfl, ip);
  if (!owner) return false;
  Dwarf_Addr bias = 0;
  Dwarf_CFI* cfi = dwfl_module_eh_cfi(owner, &bias);
  if (!cfi) cfi = dwfl_module_dwarf_cfi(owner, &bias);
  if (!cfi) return false;
  Dwarf_Frame* frame = nullptr;
  if (dwarf_cfi_addrframe(cfi, ip - bias, &frame) != 0 || !frame) return false;
  Dwarf_Op* ops = nullptr;
  size_t count = 0;
  // The frame's base as "stack pointer plus an offset", in either of its two encodings.
  bool fromStack = false;
  out = {};
  if (dwarf_frame_cfa(frame, &ops, &count) == 0 && count == 1) {
    if (ops[0].atom == DW_OP_breg0 + kStackRegister) {
      fromStack = true;
      out.cfaOffset = ops[0].number;
    } else if (ops[0].atom == DW_OP_bregx && ops[0].number == kStackRegister) {
      fromStack = true;
      out.cfaOffset = ops[0].number2;
    }
  }
  if (fromStack) {
    // The frame pointer is unchanged unless the function saved it at an offset from the base.
    Dwarf_Op storage[3];
    Dwarf_Op* rule = nullptr;
    size_t ruleCount = 0;
    if (dwarf_frame_register(frame, kFrameRegister, storage, &rule, &ruleCount) == 0 && rule && ruleCount >= 1 &&
        ruleCount <= 2 && rule[0].atom == DW_OP_call_frame_cfa &&
        (ruleCount == 1 || rule[1].atom == DW_OP_plus_uconst)) {
      out.frameSaved = true;
      out.frameOffset = ruleCount == 2 ? rule[1].number : 0;
    }
  }
  ::free(frame);
  return fromStack;
}

int UnwindStackFrom(uintptr_t, uintptr_t, uintptr_t, void**, int, int) { return -1; }
int UnwindOwnStack(void**, int, int) { return -1; }

}  // namespace Yr::Platform
