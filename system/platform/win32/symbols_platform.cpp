#include "system/platform/symbols_platform.h"

#include "system/platform/process_platform.h"
#include "system/platform/symbols_common.h"

#include <windows.h>
#include <dbghelp.h>
// The process-status functions from kernel32 itself, without psapi.dll.
#define PSAPI_VERSION 2
#include <psapi.h>
#include <stdlib.h>


#include <cstddef>
#include <cstring>
#include <new>

namespace Yr::Platform {
namespace {

// dbghelp is single-threaded as a whole, not per session: every call into it, whichever
// session it is for, runs under this lock.
SRWLOCK gReaderLock = SRWLOCK_INIT;

class ReaderLock {
 public:
  ReaderLock() { AcquireSRWLockExclusive(&gReaderLock); }
  ~ReaderLock() { ReleaseSRWLockExclusive(&gReaderLock); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;
};

// The loader tells a session of every module loaded or unloaded in this process, through a
// notification it registers at open; the count it keeps is compared with the one at the
// last module list before each lookup.
struct LoaderWatch {
  void* cookie;             // the loader's registration, null when it could not be had
  volatile LONG changes;    // loads and unloads seen since the session opened
};
static_assert(sizeof(LoaderWatch) <= sizeof(SymbolSession::callbacks), "watch storage too small");

LoaderWatch& Watch(SymbolSession& session) { return *reinterpret_cast<LoaderWatch*>(session.callbacks); }

// The loader's notification interface lives in ntdll and has no import library entry.
using DllNotification = VOID(CALLBACK*)(ULONG reason, const void* data, PVOID context);
using RegisterDllNotification = LONG(NTAPI*)(ULONG flags, DllNotification function, PVOID context, PVOID* cookie);
using UnregisterDllNotification = LONG(NTAPI*)(PVOID cookie);

template <typename Function>
Function LoaderFunction(const char* name) {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  FARPROC found = ntdll ? GetProcAddress(ntdll, name) : nullptr;
  // Through an untyped pointer: the exported entry's real type is Function.
  return reinterpret_cast<Function>(reinterpret_cast<void*>(found));
}

VOID CALLBACK CountLoaderChange(ULONG, const void*, PVOID context) {
  // Runs under the loader's lock: one interlocked increment, nothing more.
  InterlockedIncrement(&static_cast<LoaderWatch*>(context)->changes);
}

HANDLE Process(const SymbolSession& session) { return static_cast<HANDLE>(session.handle); }

void Copy(char* out, size_t size, const char* text) { Detail::CopySymbolText(out, size, text); }

// dbghelp gives the names of the debug information already undecorated; names it takes
// from export tables of modules without debug information keep their C++ mangling
// (with the extra leading underscore of 32-bit symbols), and are undecorated here.
void CopyName(char* out, size_t size, const char* symbol) {
  char* readable = Detail::DemangledCopy(symbol[0] == '_' && symbol[1] == '_' && symbol[2] == 'Z' ? symbol + 1 : symbol);
  Copy(out, size, readable ? readable : symbol);
  ::free(readable);
}

bool OwnProcess(const SymbolSession& session) { return session.process == 0 || session.process == OwnProcessId(); }

// ---- Reading the module list again ---------------------------------------------------------
// dbghelp's own refresh is not relied on (some versions of it take in no module loaded after
// the session opened): the loader's list is compared with dbghelp's here, module by module.
constexpr size_t kMostModules = 2048;

struct LoadedModules {
  HANDLE process;
  DWORD64 bases[kMostModules];
  size_t count;
  bool complete;  // every loaded module is in bases
};

bool SameFile(const char* a, const char* b) { return lstrcmpiA(a, b) == 0; }

// For each loaded module: taken in when dbghelp has none at its base, or another file there.
// The name given here is the module's short name: its file is asked of the loader.
BOOL CALLBACK TakeInLoadedModule(PCSTR, DWORD64 base, ULONG size, PVOID context) {
  auto& loaded = *static_cast<LoadedModules*>(context);
  if (loaded.count < kMostModules) {
    loaded.bases[loaded.count++] = base;
  } else {
    loaded.complete = false;
  }
  char image[MAX_PATH];
  DWORD length = GetModuleFileNameExA(loaded.process, reinterpret_cast<HMODULE>(static_cast<uintptr_t>(base)), image,
                                      sizeof image);
  if (length == 0 || length >= sizeof image) return TRUE;
  IMAGEHLP_MODULE64 known;
  std::memset(&known, 0, sizeof known);
  known.SizeOfStruct = sizeof known;
  if (SymGetModuleInfo64(loaded.process, base, &known)) {
    const char* file = known.LoadedImageName[0] ? known.LoadedImageName : known.ImageName;
    if (known.BaseOfImage == base && SameFile(file, image)) return TRUE;
    SymUnloadModule64(loaded.process, known.BaseOfImage);
  }
  SymLoadModuleEx(loaded.process, nullptr, image, nullptr, base, size, nullptr, 0);
  return TRUE;
}

struct GoneModules {
  const LoadedModules* loaded;
  DWORD64 bases[kMostModules];
  size_t count;
};

// For each module dbghelp knows: noted when the loader has none at its base any more.
BOOL CALLBACK NoteGoneModule(PCSTR, DWORD64 base, PVOID context) {
  auto& gone = *static_cast<GoneModules*>(context);
  for (size_t i = 0; i < gone.loaded->count; ++i)
    if (gone.loaded->bases[i] == base) return TRUE;
  if (gone.count < kMostModules) gone.bases[gone.count++] = base;
  return TRUE;
}

// Reads the module list again. The count is taken first: a module loaded meanwhile makes
// the next lookup read it once more, never less.
void Refresh(SymbolSession& session) {
  if (OwnProcess(session)) session.loaderChanges = static_cast<uint64_t>(static_cast<ULONG>(Watch(session).changes));
  // Static: the lists are large, and the reader lock serialises every caller.
  static LoadedModules loaded;
  static GoneModules gone;
  loaded.process = Process(session);
  loaded.count = 0;
  loaded.complete = true;
  if (!EnumerateLoadedModules64(Process(session), &TakeInLoadedModule, &loaded) || !loaded.complete) return;
  gone.loaded = &loaded;
  gone.count = 0;
  SymEnumerateModules64(Process(session), &NoteGoneModule, &gone);
  for (size_t i = 0; i < gone.count; ++i) SymUnloadModule64(Process(session), gone.bases[i]);
}

bool ModuleInfo(SymbolSession& session, uintptr_t address, IMAGEHLP_MODULE64& info) {
  std::memset(&info, 0, sizeof info);
  info.SizeOfStruct = sizeof info;
  return SymGetModuleInfo64(Process(session), static_cast<DWORD64>(address), &info) != FALSE;
}

// The module of address as dbghelp has it, reading the module list again once when it has
// none there (a module loaded after the list was last read).
bool FindModule(SymbolSession& session, uintptr_t address, IMAGEHLP_MODULE64& info) {
  if (ModuleInfo(session, address, info)) return true;
  Refresh(session);
  return ModuleInfo(session, address, info);
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
  new (session.callbacks) LoaderWatch{nullptr, 0};
  // dbghelp tells sessions apart by their process handle: each session gets a handle of
  // its own, so that two sessions over one process never share (or clean up) each other's
  // state.
  HANDLE handle = nullptr;
  if (OwnProcess(session)) {
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &handle, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
      handle = nullptr;
  } else {
    handle = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process);
  }
  if (!handle) {
    error = GetLastError();
    return false;
  }
  {
    ReaderLock lock;
    SymSetOptions(SYMOPT_LOAD_LINES | SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_FAIL_CRITICAL_ERRORS);
    if (!SymInitialize(handle, session.pathPointer, TRUE)) {
      error = GetLastError();
      CloseHandle(handle);
      return false;
    }
  }
  session.handle = handle;
  if (OwnProcess(session)) {
    LoaderWatch& watch = Watch(session);
    auto registerWatch = LoaderFunction<RegisterDllNotification>("LdrRegisterDllNotification");
    if (!registerWatch || registerWatch(0, &CountLoaderChange, &watch, &watch.cookie) != 0) watch.cookie = nullptr;
  }
  // No per-module index here: every lookup asks dbghelp, whose own caches keep repeated
  // lookups cheap.
  session.indexed = false;
  error = 0;
  return true;
}

bool CloseSymbolSession(SymbolSession& session, unsigned long& error) {
  error = 0;
  if (!session.handle) return true;
  LoaderWatch& watch = Watch(session);
  if (watch.cookie) {
    auto unregisterWatch = LoaderFunction<UnregisterDllNotification>("LdrUnregisterDllNotification");
    if (unregisterWatch) unregisterWatch(watch.cookie);
    watch.cookie = nullptr;
  }
  bool cleaned;
  {
    ReaderLock lock;
    cleaned = SymCleanup(Process(session)) != FALSE;
    if (!cleaned) error = GetLastError();
  }
  CloseHandle(Process(session));
  session.handle = nullptr;
  return cleaned;
}

SymbolFound LookupSymbol(SymbolSession& session, uintptr_t address, char* name, size_t nameSize, char* module,
                         size_t moduleSize, char* file, size_t fileSize) {
  SymbolFound found = {false, false, false, 0};
  Copy(name, nameSize, "");
  Copy(module, moduleSize, "");
  Copy(file, fileSize, "");
  const bool own = OwnProcess(session);
  if (session.handle) {
    ReaderLock lock;
    // A module unloaded since the list was read may have left its record over an address
    // another module now holds. Without the loader's notification, only a miss reads the
    // list again.
    LoaderWatch& watch = Watch(session);
    if (own && watch.cookie && static_cast<uint64_t>(static_cast<ULONG>(watch.changes)) != session.loaderChanges)
      Refresh(session);
    IMAGEHLP_MODULE64 info;
    if (FindModule(session, address, info)) {
      const char* image = info.LoadedImageName[0] ? info.LoadedImageName : info.ImageName;
      if (image[0]) {
        Copy(module, moduleSize, image);
        found.module = true;
      }
      const DWORD64 where = static_cast<DWORD64>(address);
      alignas(SYMBOL_INFO) char storage[sizeof(SYMBOL_INFO) + MAX_SYM_NAME];
      SYMBOL_INFO* symbol = reinterpret_cast<SYMBOL_INFO*>(storage);
      std::memset(symbol, 0, sizeof(SYMBOL_INFO));
      symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
      symbol->MaxNameLen = MAX_SYM_NAME;
      DWORD64 displacement = 0;
      if (SymFromAddr(Process(session), where, &displacement, symbol) && symbol->Name[0]) {
        CopyName(name, nameSize, symbol->Name);
        found.name = true;
      }
      IMAGEHLP_LINE64 line;
      std::memset(&line, 0, sizeof line);
      line.SizeOfStruct = sizeof line;
      DWORD lineDisplacement = 0;
      if (SymGetLineFromAddr64(Process(session), where, &lineDisplacement, &line) && line.FileName &&
          line.FileName[0]) {
        Copy(file, fileSize, line.FileName);
        found.line = true;
        found.lineNumber = static_cast<int>(line.LineNumber);
      }
    }
  }
  if (!found.module && own) {
    // The loader's own list as the fallback for the module's path.
    HMODULE holder = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(address), &holder) &&
        holder && module && moduleSize > 0) {
      DWORD length = GetModuleFileNameA(holder, module, static_cast<DWORD>(moduleSize));
      if (length > 0 && length < moduleSize) {
        found.module = true;
      } else {
        Copy(module, moduleSize, "");
      }
    }
  }
  return found;
}

bool SymbolIndexInfoAt(SymbolSession&, uintptr_t, SymbolIndexInfo&) {
  // Lookups go to dbghelp directly: there is no index to describe.
  return false;
}

#if defined(_M_X64) || defined(__x86_64__)
namespace {

// The x64 unwind data of a function: the operations of its prologue, newest first.
enum UnwindOperation : uint8_t {
  kPushNonVolatile = 0,
  kAllocateLarge = 1,
  kAllocateSmall = 2,
  kSetFramePointer = 3,
  kSaveNonVolatile = 4,
  kSaveNonVolatileFar = 5,
  kSaveXmm128 = 8,
  kSaveXmm128Far = 9,
  kPushMachineFrame = 10,
};
constexpr uint8_t kChainedInfo = 0x4;  // UNW_FLAG_CHAININFO
constexpr uint8_t kFramePointerRegister = 5;  // rbp in the unwind data's numbering
constexpr int kMostChainedEntries = 32;
constexpr size_t kMostUnwindCodes = 256;

struct UnwindHeader {
  uint8_t versionAndFlags;
  uint8_t prologSize;
  uint8_t codeCount;
  uint8_t frameRegister;
};
struct UnwindCode {
  uint8_t offset;
  uint8_t operationAndInfo;
};
static_assert(sizeof(UnwindHeader) == 4 && sizeof(UnwindCode) == 2, "unwind data layout");

bool ReadFrom(HANDLE process, DWORD64 address, void* out, size_t size) {
  SIZE_T got = 0;
  return ReadProcessMemory(process, reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(address)), out, size, &got) &&
         got == size;
}

}  // namespace

bool FrameRuleAt(SymbolSession& session, uintptr_t ip, FrameRule& out) {
  out = {};
  if (!session.handle) return false;
  HANDLE process = Process(session);
  ReaderLock lock;
  IMAGEHLP_MODULE64 info;
  if (!FindModule(session, ip, info)) return false;
  const DWORD64 base = info.BaseOfImage;
  auto* entry = static_cast<IMAGE_RUNTIME_FUNCTION_ENTRY*>(SymFunctionTableAccess64(process, ip));
  if (!entry) {
    // A function without unwind data is a leaf that never moves the stack pointer: the
    // return address is at the stack pointer.
    out.cfaOffset = sizeof(void*);
    return true;
  }
  uint64_t offset = 0;           // bytes between the stack pointer and the return address
  bool frameSaved = false;
  uint64_t frameSlot = 0;        // where rbp was saved, from the stack pointer
  uint64_t beginning = entry->BeginAddress;
  uint64_t unwindData = entry->UnwindData;
  bool chained = false;
  for (int link = 0; link < kMostChainedEntries; ++link) {
    UnwindHeader header;
    if (!ReadFrom(process, base + unwindData, &header, sizeof header)) return false;
    UnwindCode codes[kMostUnwindCodes];
    size_t count = header.codeCount;
    if (count > kMostUnwindCodes || !ReadFrom(process, base + unwindData + sizeof header, codes, count * sizeof(UnwindCode)))
      return false;
    // Within the prologue only the operations already run count; a chained entry is the
    // prologue of the function's primary part, all of it run.
    const uint64_t into = ip - (base + beginning);
    const bool wholeProlog = chained || into >= header.prologSize;
    for (size_t i = 0; i < count; ++i) {
      const uint8_t operation = codes[i].operationAndInfo & 0xF;
      const uint8_t operand = codes[i].operationAndInfo >> 4;
      const bool ran = wholeProlog || codes[i].offset <= into;
      auto slotValue = [&](size_t at) -> uint32_t {
        return at < count ? static_cast<uint32_t>(codes[at].offset | (codes[at].operationAndInfo << 8)) : 0;
      };
      size_t slots = 1;
      switch (operation) {
        case kPushNonVolatile:
          if (ran) {
            if (operand == kFramePointerRegister && !frameSaved) {
              frameSaved = true;
              frameSlot = offset;
            }
            offset += sizeof(void*);
          }
          break;
        case kAllocateLarge:
          if (operand == 0) {
            slots = 2;
            if (ran) offset += uint64_t{slotValue(i + 1)} * 8;
          } else {
            slots = 3;
            if (ran) offset += uint64_t{slotValue(i + 1)} | (uint64_t{slotValue(i + 2)} << 16);
          }
          break;
        case kAllocateSmall:
          if (ran) offset += uint64_t{operand} * 8 + 8;
          break;
        case kSetFramePointer:
          // From here on the frame is addressed from the frame pointer.
          if (ran) return false;
          break;
        case kSaveNonVolatile:
          slots = 2;
          if (ran && operand == kFramePointerRegister && !frameSaved) {
            frameSaved = true;
            frameSlot = uint64_t{slotValue(i + 1)} * 8;
          }
          break;
        case kSaveNonVolatileFar:
          slots = 3;
          if (ran && operand == kFramePointerRegister && !frameSaved) {
            frameSaved = true;
            frameSlot = uint64_t{slotValue(i + 1)} | (uint64_t{slotValue(i + 2)} << 16);
          }
          break;
        case kSaveXmm128:
          slots = 2;
          break;
        case kSaveXmm128Far:
          slots = 3;
          break;
        default:
          // A machine frame (an interrupt or exception entry) or an operation this reader
          // does not know: no rule.
          return false;
      }
      i += slots - 1;
    }
    if (!((header.versionAndFlags >> 3) & kChainedInfo)) break;
    // The chained entry follows the codes, aligned to an even count.
    IMAGE_RUNTIME_FUNCTION_ENTRY next;
    if (!ReadFrom(process, base + unwindData + sizeof header + ((count + 1) & ~size_t{1}) * sizeof(UnwindCode), &next,
                  sizeof next))
      return false;
    beginning = next.BeginAddress;
    unwindData = next.UnwindData;
    chained = true;
  }
  out.cfaOffset = offset + sizeof(void*);
  out.frameSaved = frameSaved;
  // The saved frame pointer below the frame's base: the offset wraps, as the rule adds it.
  out.frameOffset = frameSaved ? frameSlot - out.cfaOffset : 0;
  return true;
}

namespace {

// Steps the context frame by frame through the unwind tables, storing each caller's
// instruction address. A function without unwind data is a leaf: its return address is at
// the stack pointer. The walk ends at a null address, a stack pointer that does not move
// up, or an unreadable stack.
int Unwind(CONTEXT& context, void** out, int capacity, int skip) {
  int stored = 0;
  while (stored < capacity) {
    const DWORD64 previous = context.Rsp;
    if (!ReadableBytes(reinterpret_cast<const void*>(static_cast<uintptr_t>(context.Rsp)), sizeof(void*))) break;
    DWORD64 base = 0;
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &base, nullptr);
    if (function) {
      void* handlerData = nullptr;
      DWORD64 establisher = 0;
      RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, function, &context, &handlerData, &establisher, nullptr);
    } else {
      context.Rip = *reinterpret_cast<const DWORD64*>(static_cast<uintptr_t>(context.Rsp));
      context.Rsp += sizeof(void*);
    }
    if (context.Rip == 0 || context.Rsp <= previous) break;
    if (skip > 0) {
      --skip;
    } else {
      out[stored++] = reinterpret_cast<void*>(static_cast<uintptr_t>(context.Rip));
    }
  }
  return stored;
}

}  // namespace

int UnwindStackFrom(uintptr_t ip, uintptr_t sp, uintptr_t bp, void** out, int capacity, int skip) {
  if (!out || capacity <= 0) return 0;
  CONTEXT context;
  std::memset(&context, 0, sizeof context);
  context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
  context.Rip = ip;
  context.Rsp = sp;
  context.Rbp = bp;
  return Unwind(context, out, capacity, skip);
}

__attribute__((noinline)) int UnwindOwnStack(void** out, int capacity, int skip) {
  if (!out || capacity <= 0) return 0;
  CONTEXT context;
  RtlCaptureContext(&context);
  // The context is this function's: its first step gives the address the call returns to.
  int stored = Unwind(context, out, capacity, skip);
  asm volatile("");  // no tail call: this frame must stay while the walk reads it
  return stored;
}
#else
bool FrameRuleAt(SymbolSession&, uintptr_t, FrameRule& out) {
  // 32-bit Windows keeps no unwind tables in the image: frames are walked by their frame
  // records alone.
  out = {};
  return false;
}

int UnwindStackFrom(uintptr_t, uintptr_t, uintptr_t, void**, int, int) { return -1; }
int UnwindOwnStack(void**, int, int) { return -1; }
#endif

}  // namespace Yr::Platform
