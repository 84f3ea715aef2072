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
namespace {

// 32-bit code unwinds by the DWARF call-frame information in the image's .eh_frame section.
// The section's name is longer than a section header holds: the header names an offset
// into the COFF string table, which the loader does not map, so the names are read from
// the image's file. The section's contents are read from the process's memory.
constexpr char kFrameSection[] = ".eh_frame";
constexpr size_t kSectionNameBytes = 8;
constexpr size_t kCoffSymbolBytes = 18;
constexpr size_t kLongestSectionName = 32;
constexpr uint32_t kMostFrameSectionBytes = 64u << 20;
constexpr int kStackRegister = 4, kFramePointerRegister = 5;  // esp, ebp in DWARF numbering
constexpr int kMostRememberedStates = 16;

bool ReadFileAt(HANDLE file, uint32_t offset, void* out, DWORD size) {
  OVERLAPPED at;
  std::memset(&at, 0, sizeof at);
  at.Offset = offset;
  DWORD got = 0;
  return ReadFile(file, out, size, &got, &at) && got == size;
}

// Where the loaded module's call-frame section lies: relative address and size.
bool FindFrameSection(const char* image, uint32_t& address, uint32_t& size) {
  HANDLE file = CreateFileA(image, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool found = false;
  IMAGE_DOS_HEADER dos;
  IMAGE_FILE_HEADER header;
  uint32_t signature = 0;
  if (ReadFileAt(file, 0, &dos, sizeof dos) && dos.e_magic == IMAGE_DOS_SIGNATURE &&
      ReadFileAt(file, static_cast<uint32_t>(dos.e_lfanew), &signature, sizeof signature) &&
      signature == IMAGE_NT_SIGNATURE &&
      ReadFileAt(file, static_cast<uint32_t>(dos.e_lfanew) + sizeof signature, &header, sizeof header)) {
    const uint32_t sections = static_cast<uint32_t>(dos.e_lfanew) + sizeof signature + sizeof header +
                              header.SizeOfOptionalHeader;
    const uint32_t strings = header.PointerToSymbolTable + header.NumberOfSymbols * kCoffSymbolBytes;
    for (uint32_t i = 0; i < header.NumberOfSections && !found; ++i) {
      IMAGE_SECTION_HEADER section;
      if (!ReadFileAt(file, sections + i * sizeof section, &section, sizeof section)) break;
      char name[kLongestSectionName + 1] = {};
      if (section.Name[0] == '/' && header.PointerToSymbolTable != 0) {
        uint32_t offset = 0;
        for (size_t k = 1; k < kSectionNameBytes && section.Name[k] >= '0' && section.Name[k] <= '9'; ++k)
          offset = offset * 10 + (section.Name[k] - '0');
        // A name at the end of the file may be shorter than the bytes asked for.
        for (DWORD want = kLongestSectionName; want >= sizeof kFrameSection; want /= 2)
          if (ReadFileAt(file, strings + offset, name, want)) break;
      } else {
        std::memcpy(name, section.Name, kSectionNameBytes);
      }
      if (std::strcmp(name, kFrameSection) == 0) {
        address = section.VirtualAddress;
        size = section.Misc.VirtualSize ? section.Misc.VirtualSize : section.SizeOfRawData;
        found = size > 0 && size <= kMostFrameSectionBytes;
      }
    }
  }
  CloseHandle(file);
  return found;
}

// Reads the call-frame section's bytes, each value where it is in the process's memory.
class FrameReader {
 public:
  FrameReader(const uint8_t* bytes, uint32_t size, uintptr_t loaded) : mBytes(bytes), mSize(size), mLoaded(loaded) {}
  bool Good() const { return mGood; }
  uint32_t Position() const { return mPosition; }
  void Seek(uint32_t position) {
    if (position > mSize) mGood = false;
    mPosition = position;
  }
  uint8_t Byte() { return static_cast<uint8_t>(Fixed(1)); }
  uint32_t Fixed(uint32_t bytes) {
    if (!mGood || mSize - mPosition < bytes) {
      mGood = false;
      return 0;
    }
    uint32_t value = 0;
    for (uint32_t i = 0; i < bytes; ++i) value |= static_cast<uint32_t>(mBytes[mPosition + i]) << (8 * i);
    mPosition += bytes;
    return value;
  }
  uint64_t Unsigned() {
    uint64_t value = 0;
    for (int shift = 0; mGood; shift += 7) {
      uint8_t byte = Byte();
      if (shift < 64) value |= static_cast<uint64_t>(byte & 0x7F) << shift;
      if (!(byte & 0x80)) break;
    }
    return value;
  }
  int64_t Signed() {
    uint64_t value = 0;
    int shift = 0;
    uint8_t byte = 0;
    do {
      byte = Byte();
      if (shift < 64) value |= static_cast<uint64_t>(byte & 0x7F) << shift;
      shift += 7;
    } while (mGood && (byte & 0x80));
    if (shift < 64 && (byte & 0x40)) value |= ~uint64_t{0} << shift;
    return static_cast<int64_t>(value);
  }
  // A pointer in one of the encodings the section uses (DW_EH_PE_*): the value's format in
  // the low four bits, relative to the field itself when 0x10 is set.
  uint32_t Pointer(uint8_t encoding) {
    const uintptr_t field = mLoaded + mPosition;
    uint32_t value = 0;
    switch (encoding & 0x0F) {
      case 0x00:  // a pointer of the machine's size
      case 0x03:
      case 0x0B:
        value = Fixed(4);
        break;
      case 0x02:
      case 0x0A:
        value = Fixed(2);
        if ((encoding & 0x0F) == 0x0A) value = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(value)));
        break;
      case 0x01:
        value = static_cast<uint32_t>(Unsigned());
        break;
      case 0x09:
        value = static_cast<uint32_t>(Signed());
        break;
      default:
        mGood = false;
        return 0;
    }
    if ((encoding & 0x70) == 0x10) value += static_cast<uint32_t>(field);
    else if ((encoding & 0x70) != 0) mGood = false;  // text- and data-relative: not used by this code
    return value;
  }

 private:
  const uint8_t* mBytes;
  uint32_t mSize;
  uintptr_t mLoaded;  // where the section starts in the process
  uint32_t mPosition = 0;
  bool mGood = true;
};

struct CommonEntry {
  uint64_t codeAlignment = 1;
  int64_t dataAlignment = 1;
  uint8_t pointerEncoding = 0;
  bool augmented = false;  // the entries carry a length of augmentation data
  uint32_t instructions = 0, end = 0;
};

bool ReadCommonEntry(FrameReader& reader, uint32_t at, CommonEntry& out) {
  reader.Seek(at);
  uint32_t length = reader.Fixed(4);
  uint32_t body = reader.Position();
  if (reader.Fixed(4) != 0 || length == 0xFFFFFFFFu) return false;
  uint8_t version = reader.Byte();
  char augmentation[8] = {};
  size_t count = 0;
  for (char c = static_cast<char>(reader.Byte()); c && reader.Good(); c = static_cast<char>(reader.Byte()))
    if (count + 1 < sizeof augmentation) augmentation[count++] = c;
  out.codeAlignment = reader.Unsigned();
  out.dataAlignment = reader.Signed();
  if (version == 1) {
    reader.Byte();
  } else {
    reader.Unsigned();
  }
  out.end = body + length;
  if (augmentation[0] == 'z') {
    out.augmented = true;
    uint64_t dataLength = reader.Unsigned();
    uint32_t dataEnd = reader.Position() + static_cast<uint32_t>(dataLength);
    for (size_t i = 1; i < count && reader.Good(); ++i) {
      if (augmentation[i] == 'R') {
        out.pointerEncoding = reader.Byte();
      } else if (augmentation[i] == 'P') {
        reader.Pointer(reader.Byte() & 0x7F);
      } else if (augmentation[i] == 'L') {
        reader.Byte();
      } else if (augmentation[i] != 'S') {
        break;
      }
    }
    reader.Seek(dataEnd);
  } else if (count != 0) {
    return false;
  }
  out.instructions = reader.Position();
  return reader.Good() && out.instructions <= out.end;
}

// The rule at ip: the frame's base from a register, and where the frame pointer was saved.
struct FrameState {
  uint64_t cfaRegister = kStackRegister;
  int64_t cfaOffset = 0;
  bool frameSaved = false;
  int64_t frameOffset = 0;
};

// Runs the call-frame instructions in [from, end) up to ip; false on one this reader does
// not follow (expressions for the frame's base or the frame pointer).
bool RunInstructions(FrameReader& reader, uint32_t from, uint32_t end, const CommonEntry& common,
                     const FrameState& initial, uint32_t start, uint32_t ip, FrameState& state) {
  FrameState remembered[kMostRememberedStates];
  int depth = 0;
  uint32_t location = start;
  reader.Seek(from);
  while (reader.Good() && reader.Position() < end) {
    uint8_t op = reader.Byte();
    uint8_t operand = op & 0x3F;
    uint64_t advance = 0;
    auto saveFrame = [&](uint64_t reg, int64_t offset) {
      if (reg == kFramePointerRegister) {
        state.frameSaved = true;
        state.frameOffset = offset;
      }
    };
    auto forgetFrame = [&](uint64_t reg) {
      if (reg == kFramePointerRegister) {
        state.frameSaved = initial.frameSaved;
        state.frameOffset = initial.frameOffset;
      }
    };
    switch (op >> 6) {
      case 1:
        advance = operand;
        break;
      case 2:
        saveFrame(operand, static_cast<int64_t>(reader.Unsigned()) * common.dataAlignment);
        continue;
      case 3:
        forgetFrame(operand);
        continue;
      default:
        break;
    }
    if (advance == 0) {
      switch (op) {
        case 0x00:  // nop
          break;
        case 0x01:  // set_loc
          location = reader.Pointer(common.pointerEncoding);
          if (location > ip) return true;
          break;
        case 0x02:
          advance = reader.Fixed(1);
          break;
        case 0x03:
          advance = reader.Fixed(2);
          break;
        case 0x04:
          advance = reader.Fixed(4);
          break;
        case 0x05: {  // offset_extended
          uint64_t reg = reader.Unsigned();
          saveFrame(reg, static_cast<int64_t>(reader.Unsigned()) * common.dataAlignment);
          break;
        }
        case 0x06:  // restore_extended
        case 0x07:  // undefined
        case 0x08:  // same_value
          forgetFrame(reader.Unsigned());
          break;
        case 0x09: {  // register
          uint64_t reg = reader.Unsigned();
          reader.Unsigned();
          if (reg == kFramePointerRegister) return false;
          break;
        }
        case 0x0A:
          if (depth == kMostRememberedStates) return false;
          remembered[depth++] = state;
          break;
        case 0x0B:
          if (depth == 0) return false;
          state = remembered[--depth];
          break;
        case 0x0C:
          state.cfaRegister = reader.Unsigned();
          state.cfaOffset = static_cast<int64_t>(reader.Unsigned());
          break;
        case 0x0D:
          state.cfaRegister = reader.Unsigned();
          break;
        case 0x0E:
          state.cfaOffset = static_cast<int64_t>(reader.Unsigned());
          break;
        case 0x10: {  // expression
          uint64_t reg = reader.Unsigned();
          reader.Seek(reader.Position() + static_cast<uint32_t>(reader.Unsigned()));
          if (reg == kFramePointerRegister) return false;
          break;
        }
        case 0x11: {  // offset_extended_sf
          uint64_t reg = reader.Unsigned();
          saveFrame(reg, reader.Signed() * common.dataAlignment);
          break;
        }
        case 0x12:
          state.cfaRegister = reader.Unsigned();
          state.cfaOffset = reader.Signed() * common.dataAlignment;
          break;
        case 0x13:
          state.cfaOffset = reader.Signed() * common.dataAlignment;
          break;
        case 0x14:  // val_offset
        case 0x2F:  // GNU_negative_offset_extended
          reader.Unsigned();
          reader.Unsigned();
          break;
        case 0x15:  // val_offset_sf
          reader.Unsigned();
          reader.Signed();
          break;
        case 0x16: {  // val_expression
          reader.Unsigned();
          reader.Seek(reader.Position() + static_cast<uint32_t>(reader.Unsigned()));
          break;
        }
        case 0x2E:  // GNU_args_size
          reader.Unsigned();
          break;
        default:  // def_cfa_expression and anything unknown
          return false;
      }
    }
    if (advance != 0) {
      location += static_cast<uint32_t>(advance * common.codeAlignment);
      if (location > ip) return true;
    }
  }
  return reader.Good();
}

// The rule for ip from the call-frame section (loaded at loaded, its bytes read).
bool RuleFromSection(const uint8_t* bytes, uint32_t size, uintptr_t loaded, uint32_t ip, FrameRule& out) {
  FrameReader reader(bytes, size, loaded);
  uint32_t at = 0;
  while (at + 8 <= size) {
    reader.Seek(at);
    uint32_t length = reader.Fixed(4);
    if (length == 0 || length == 0xFFFFFFFFu || !reader.Good()) return false;  // the terminator, or 64-bit
    uint32_t idField = reader.Position();
    uint32_t next = idField + length;
    uint32_t id = reader.Fixed(4);
    if (id != 0 && id <= idField) {
      CommonEntry common;
      const uint32_t commonAt = idField - id;
      if (ReadCommonEntry(reader, commonAt, common)) {
        reader.Seek(idField + 4);
        uint32_t start = reader.Pointer(common.pointerEncoding);
        uint32_t range = reader.Pointer(common.pointerEncoding & 0x0F);
        if (reader.Good() && ip >= start && ip - start < range) {
          if (common.augmented) {
            uint64_t skip = reader.Unsigned();
            reader.Seek(reader.Position() + static_cast<uint32_t>(skip));
          }
          uint32_t instructions = reader.Position();
          FrameState initial;
          if (!RunInstructions(reader, common.instructions, common.end, common, FrameState{}, start, UINT32_MAX,
                               initial))
            return false;
          FrameState state = initial;
          if (!RunInstructions(reader, instructions, next, common, initial, start, ip, state)) return false;
          if (state.cfaRegister != kStackRegister) return false;
          out.cfaOffset = static_cast<uint64_t>(state.cfaOffset);
          out.frameSaved = state.frameSaved;
          out.frameOffset = static_cast<uint64_t>(state.frameOffset);
          return true;
        }
      }
    }
    if (next <= at) return false;
    at = next;
  }
  return false;
}

}  // namespace

bool FrameRuleAt(SymbolSession& session, uintptr_t ip, FrameRule& out) {
  out = {};
  if (!session.handle) return false;
  uint32_t address = 0, size = 0;
  uintptr_t base = 0;
  {
    ReaderLock lock;
    IMAGEHLP_MODULE64 info;
    if (!FindModule(session, ip, info)) return false;
    base = static_cast<uintptr_t>(info.BaseOfImage);
    if (!FindFrameSection(info.LoadedImageName[0] ? info.LoadedImageName : info.ImageName, address, size))
      return false;
  }
  auto* bytes = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, size));
  if (!bytes) return false;
  SIZE_T got = 0;
  bool found = ReadProcessMemory(Process(session), reinterpret_cast<LPCVOID>(base + address), bytes, size, &got) &&
               got == size && RuleFromSection(bytes, size, base + address, static_cast<uint32_t>(ip), out);
  HeapFree(GetProcessHeap(), 0, bytes);
  if (!found) out = {};
  return found;
}

int UnwindStackFrom(uintptr_t, uintptr_t, uintptr_t, void**, int, int) { return -1; }
int UnwindOwnStack(void**, int, int) { return -1; }
#endif

}  // namespace Yr::Platform
