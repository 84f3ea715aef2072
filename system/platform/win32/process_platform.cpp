#include "system/platform/process_platform.h"

#include "system/platform/process_shared.h"
#include "system/platform/win32/crash_thread.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstring>

namespace Yr::Platform {

namespace Win32 {
CrashWorker gCrashWorker;
std::atomic<uint32_t> gWatchdogThread{0};
uint32_t RealThreadId() { return ::GetCurrentThreadId(); }
}  // namespace Win32

namespace {

// Files are kernel handles kept in the header's int: handles are small multiples of four
// that the system keeps within 32 bits even in 64-bit processes (so that 32- and 64-bit
// processes can share them); sign extension turns kInvalidFile into INVALID_HANDLE_VALUE.
HANDLE HandleOf(int file) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(file)); }
int FileOf(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? kInvalidFile : static_cast<int>(reinterpret_cast<intptr_t>(handle));
}

// 100-nanosecond ticks from 1601 to 1970.
constexpr int64_t kFileTimeAt1970 = 116444736000000000;
constexpr int64_t kTicksPerSecond = 10000000;

int64_t SecondsOf(const FILETIME& time) {
  ULARGE_INTEGER ticks;
  ticks.LowPart = time.dwLowDateTime;
  ticks.HighPart = time.dwHighDateTime;
  int64_t since1601 = static_cast<int64_t>(ticks.QuadPart);
  int64_t since1970 = since1601 - kFileTimeAt1970;
  // Round towards minus infinity, as the seconds of a date before 1970 must.
  return since1970 >= 0 ? since1970 / kTicksPerSecond : -((-since1970 + kTicksPerSecond - 1) / kTicksPerSecond);
}

FILETIME FileTimeOf(int64_t seconds) {
  ULARGE_INTEGER ticks;
  ticks.QuadPart = static_cast<uint64_t>(seconds * kTicksPerSecond + kFileTimeAt1970);
  FILETIME time;
  time.dwLowDateTime = ticks.LowPart;
  time.dwHighDateTime = ticks.HighPart;
  return time;
}

bool ReadableProtection(DWORD protect) {
  if (protect & (PAGE_GUARD | PAGE_NOACCESS)) return false;
  constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                              PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return (protect & kReadable) != 0;
}

// The end of the readable region that holds address, or address itself when it is not
// readable.
uintptr_t ReadableEnd(uintptr_t address) {
  MEMORY_BASIC_INFORMATION region;
  if (::VirtualQuery(reinterpret_cast<const void*>(address), &region, sizeof region) != sizeof region) return address;
  if (region.State != MEM_COMMIT || !ReadableProtection(region.Protect)) return address;
  return reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
}

// The file of a loaded module (null: the executable), cut to size - 1 and terminated.
size_t ModuleFileName(HMODULE module, char* out, size_t size) {
  if (size == 0) return 0;
  DWORD capacity = size > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<DWORD>(size);
  DWORD length = ::GetModuleFileNameA(module, out, capacity);
  if (length == 0) {
    out[0] = '\0';
    return 0;
  }
  // A name cut to the buffer is not always terminated.
  if (length >= capacity) length = capacity - 1;
  out[length] = '\0';
  return length;
}

}  // namespace

int CreateFileForWriting(const char* path) {
  if (!path || !*path) return kInvalidFile;
  return FileOf(::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
}

int OpenFileForReading(const char* path) {
  if (!path || !*path) return kInvalidFile;
  return FileOf(::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool WriteFileBytes(int file, const void* bytes, size_t count) {
  if (file == kInvalidFile) return false;
  const char* cursor = static_cast<const char*>(bytes);
  while (count > 0) {
    DWORD chunk = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
    DWORD written = 0;
    if (!::WriteFile(HandleOf(file), cursor, chunk, &written, nullptr) || written == 0) return false;
    cursor += written;
    count -= written;
  }
  return true;
}

// A positioned write on a synchronous handle moves the file position too: it is put back.
bool WriteFileBytesAt(int file, uint64_t offset, const void* bytes, size_t count) {
  if (file == kInvalidFile) return false;
  LARGE_INTEGER zero = {};
  LARGE_INTEGER position;
  if (!::SetFilePointerEx(HandleOf(file), zero, &position, FILE_CURRENT)) return false;
  const char* cursor = static_cast<const char*>(bytes);
  bool ok = true;
  while (ok && count > 0) {
    DWORD chunk = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    ok = ::WriteFile(HandleOf(file), cursor, chunk, &written, &at) && written > 0;
    cursor += written;
    offset += written;
    count -= written;
  }
  ::SetFilePointerEx(HandleOf(file), position, nullptr, FILE_BEGIN);
  return ok;
}

long ReadFileBytes(int file, void* buffer, size_t capacity) {
  if (file == kInvalidFile) return -1;
  DWORD chunk = capacity > 0x40000000u ? 0x40000000u : static_cast<DWORD>(capacity);
  DWORD got = 0;
  if (!::ReadFile(HandleOf(file), buffer, chunk, &got, nullptr)) {
    // The writer of a pipe has gone: the end of the data.
    return ::GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  }
  return static_cast<long>(got);
}

void CloseFile(int file) {
  if (file != kInvalidFile) ::CloseHandle(HandleOf(file));
}

// Readability comes from the address space's own description (VirtualQuery), region by
// region: committed, and neither a guard page nor without access.
bool ReadableBytes(const void* address, size_t count) {
  if (!address) return false;
  if (count == 0) return true;
  uintptr_t cursor = reinterpret_cast<uintptr_t>(address);
  uintptr_t last = cursor + count - 1;
  if (last < cursor) return false;
  for (;;) {
    uintptr_t end = ReadableEnd(cursor);
    if (end == cursor) return false;
    if (end == 0 || end > last) return true;
    cursor = end;
  }
}

// Copies what the address space says is readable (VirtualQuery: reserved pages read as
// zeros through ReadProcessMemory under Wine), through ReadProcessMemory on the own process,
// which refuses memory unmapped meanwhile instead of faulting; what cannot be read is left
// as zeros.
size_t CopyOwnMemory(void* destination, const void* source, size_t count) {
  char* out = static_cast<char*>(destination);
  uintptr_t cursor = reinterpret_cast<uintptr_t>(source);
  SYSTEM_INFO system;
  ::GetSystemInfo(&system);
  const uintptr_t page = system.dwPageSize;
  HANDLE self = ::GetCurrentProcess();
  size_t copied = 0;
  while (count > 0) {
    uintptr_t end = ReadableEnd(cursor);
    size_t chunk = end > cursor ? static_cast<size_t>(end - cursor)
                                : static_cast<size_t>(((cursor | (page - 1)) + 1) - cursor);
    if (chunk > count || chunk == 0) chunk = count;
    SIZE_T got = 0;
    if (end > cursor && ::ReadProcessMemory(self, reinterpret_cast<const void*>(cursor), out, chunk, &got) &&
        got == chunk) {
      copied += chunk;
    } else {
      std::memset(out, 0, chunk);
    }
    out += chunk;
    cursor += chunk;
    count -= chunk;
  }
  return copied;
}

uint32_t OwnProcessId() { return ::GetCurrentProcessId(); }

uint32_t OwnThreadId() {
  uint32_t self = ::GetCurrentThreadId();
  if (self == Win32::gCrashWorker.worker.load(std::memory_order_acquire)) {
    if (uint32_t standsFor = Win32::gCrashWorker.standsFor.load(std::memory_order_acquire)) return standsFor;
  }
  return self;
}

unsigned int ProcessorCount() {
  DWORD count = ::GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  return count > 0 ? count : 1u;
}

int64_t UnixTimeNow() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return SecondsOf(now);
}

uint32_t UnixTime() { return static_cast<uint32_t>(UnixTimeNow()); }

size_t ExecutablePath(char* out, size_t size) { return ModuleFileName(nullptr, out, size); }

size_t CurrentDirectory(char* out, size_t size) {
  if (size == 0) return 0;
  DWORD capacity = size > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<DWORD>(size);
  DWORD length = ::GetCurrentDirectoryA(capacity, out);
  // Too small a buffer gets nothing, as on Linux.
  if (length == 0 || length >= capacity) {
    out[0] = '\0';
    return 0;
  }
  return length;
}

// The system's own version numbers ("10.0.19045"), from ntdll: the documented version
// calls answer what the program's manifest claims to support instead. Wine answers the
// version its prefix is set to imitate.
size_t OsRelease(char* out, size_t size) {
  using VersionCall = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  FARPROC address = ntdll ? ::GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
  VersionCall call = nullptr;
  static_assert(sizeof call == sizeof address);
  std::memcpy(&call, &address, sizeof call);
  if (!call || call(&version) != 0) return CopyCut(out, size, "", 0);
  char text[48];
  int length = ::wsprintfA(text, "%lu.%lu.%lu", version.dwMajorVersion, version.dwMinorVersion,
                           version.dwBuildNumber);
  return CopyCut(out, size, text, length > 0 ? static_cast<size_t>(length) : 0);
}

// The offset at a moment is what the system's zone rules make of it: the local time of
// that moment minus the moment. Called at load only.
bool ZoneOffsetAt(int64_t seconds, long& offset) {
  FILETIME utc = FileTimeOf(seconds);
  SYSTEMTIME universal;
  SYSTEMTIME local;
  if (!::FileTimeToSystemTime(&utc, &universal)) return false;
  if (!::SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local)) return false;
  FILETIME localTime;
  if (!::SystemTimeToFileTime(&local, &localTime)) return false;
  offset = static_cast<long>(SecondsOf(localTime) - seconds);
  return true;
}

// ---- Reserved descriptors -------------------------------------------------------------------
// Windows has no small per-process limit on handles (the handle table grows with memory),
// so nothing here is needed for the crash path to open its files. The spares are kept all
// the same, as handles of an unnamed event, so that the crash path and its tests are the
// same on both systems: releasing them frees that many entries of the handle table.
namespace {
std::atomic<HANDLE> gReserved[kReservedDescriptors];
}  // namespace

void ReserveDescriptors() {
  for (std::atomic<HANDLE>& slot : gReserved) {
    if (slot.load(std::memory_order_acquire) != nullptr) continue;
    HANDLE spare = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!spare) return;
    HANDLE expected = nullptr;
    if (!slot.compare_exchange_strong(expected, spare)) ::CloseHandle(spare);
  }
}

void ReleaseReservedDescriptors() {
  for (std::atomic<HANDLE>& slot : gReserved) {
    HANDLE held = slot.exchange(nullptr, std::memory_order_acq_rel);
    if (held) ::CloseHandle(held);
  }
}

unsigned int ReservedDescriptorCount() {
  unsigned int count = 0;
  for (const std::atomic<HANDLE>& slot : gReserved) count += slot.load(std::memory_order_acquire) != nullptr;
  return count;
}

// ---- Mapped files ---------------------------------------------------------------------------
namespace {

// "\Device\HarddiskVolume3\dir\file" to "C:\dir\file", through the drive letters' device
// names; Wine answers "\??\C:\dir\file", which only loses its prefix. A name of no drive is
// kept as the system gave it.
size_t DrivePath(const char* device, char* out, size_t size) {
  constexpr char kDosPrefix[] = "\\??\\";
  if (std::strncmp(device, kDosPrefix, sizeof kDosPrefix - 1) == 0) {
    const char* path = device + sizeof kDosPrefix - 1;
    return CopyCut(out, size, path, std::strlen(path));
  }
  char drive[3] = {'A', ':', '\0'};
  char target[MAX_PATH];
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    drive[0] = letter;
    if (::QueryDosDeviceA(drive, target, sizeof target) == 0) continue;
    size_t length = std::strlen(target);
    if (length == 0 || std::strncmp(device, target, length) != 0 || device[length] != '\\') continue;
    if (size < 3) return CopyCut(out, size, drive, 2);
    out[0] = letter;
    out[1] = ':';
    return 2 + CopyCut(out + 2, size - 2, device + length, std::strlen(device + length));
  }
  return CopyCut(out, size, device, std::strlen(device));
}

}  // namespace

// The file behind an address comes from the memory manager (the section's file name), not
// from the loader's list: no loader lock is taken, so it is safe on the crash path.
size_t MappedFileAt(uintptr_t address, char* out, size_t size) {
  if (size == 0) return 0;
  out[0] = '\0';
  MEMORY_BASIC_INFORMATION region;
  if (::VirtualQuery(reinterpret_cast<const void*>(address), &region, sizeof region) != sizeof region) return 0;
  if (region.State != MEM_COMMIT || (region.Type != MEM_IMAGE && region.Type != MEM_MAPPED)) return 0;
  char device[MAX_PATH * 2];
  DWORD length = ::GetMappedFileNameA(::GetCurrentProcess(), reinterpret_cast<void*>(address), device, sizeof device);
  if (length == 0 || length >= sizeof device) return 0;
  device[length] = '\0';
  return DrivePath(device, out, size);
}

size_t ModulePathOf(const void* address, char* out, size_t size) {
  if (size == 0) return 0;
  out[0] = '\0';
  HMODULE module = nullptr;
  if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<const char*>(address), &module)) {
    return 0;
  }
  return ModuleFileName(module, out, size);
}

bool DebuggerAttached() { return ::IsDebuggerPresent() != 0; }

bool DebugBreakIfAttached() {
  if (!DebuggerAttached()) return false;
  ::DebugBreak();
  return true;
}

void ExitProcessNow(int code) {
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(code));
  // Not reached: TerminateProcess on the own process does not return.
  for (;;) ::ExitProcess(static_cast<UINT>(code));
}

// The section of the module's image that holds address (the headers count as one), from
// the image's own section table.
bool CodeMappingOf(const void* address, uintptr_t& begin, uintptr_t& end) {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<const char*>(address), &module)) {
    return false;
  }
  const uintptr_t base = reinterpret_cast<uintptr_t>(module);
  const uintptr_t target = reinterpret_cast<uintptr_t>(address);
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    uintptr_t low = base + section->VirtualAddress;
    uintptr_t size = section->Misc.VirtualSize ? section->Misc.VirtualSize : section->SizeOfRawData;
    if (target >= low && target < low + size) {
      begin = low;
      end = low + size;
      return true;
    }
  }
  if (target >= base && target < base + nt->OptionalHeader.SizeOfHeaders) {
    begin = base;
    end = base + nt->OptionalHeader.SizeOfHeaders;
    return true;
  }
  return false;
}

size_t ListThreadIds(uint32_t* out, size_t capacity) {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  const DWORD process = ::GetCurrentProcessId();
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  size_t stored = 0;
  for (BOOL more = ::Thread32First(snapshot, &entry); more && stored < capacity; more = ::Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == process) out[stored++] = entry.th32ThreadID;
  }
  ::CloseHandle(snapshot);
  return stored;
}

}  // namespace Yr::Platform
