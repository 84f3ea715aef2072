#include "system/platform/dump_platform.h"

#include <windows.h>
#include <dbghelp.h>

#include <cstring>

namespace Yr::Platform {
namespace {

// The dump writer's thread needs room for dbghelp, not for the report.
constexpr size_t kWriterStackSize = 1024 * 1024;

constexpr MINIDUMP_TYPE kTypeForKind[] = {
    MiniDumpNormal,
    static_cast<MINIDUMP_TYPE>(MiniDumpNormal | MiniDumpWithIndirectlyReferencedMemory),
    static_cast<MINIDUMP_TYPE>(MiniDumpNormal | MiniDumpWithIndirectlyReferencedMemory | MiniDumpWithDataSegs),
    static_cast<MINIDUMP_TYPE>(MiniDumpNormal | MiniDumpWithIndirectlyReferencedMemory | MiniDumpWithDataSegs |
                               MiniDumpWithFullMemory),
};
constexpr int kKinds = sizeof kTypeForKind / sizeof kTypeForKind[0];

// The registers in the system's own layout, for the exception the dump names.
void ContextToOs(const CpuContext& in, CONTEXT& out) {
  std::memset(&out, 0, sizeof out);
  out.ContextFlags = CONTEXT_FULL | CONTEXT_SEGMENTS | (in.hasFloatState ? CONTEXT_FLOATING_POINT : 0);
#if UINTPTR_MAX > 0xFFFFFFFFu
  out.Rax = in.ax;
  out.Rbx = in.bx;
  out.Rcx = in.cx;
  out.Rdx = in.dx;
  out.Rsi = in.si;
  out.Rdi = in.di;
  out.Rbp = in.bp;
  out.Rsp = in.sp;
  out.Rip = in.ip;
  out.R8 = in.r8;
  out.R9 = in.r9;
  out.R10 = in.r10;
  out.R11 = in.r11;
  out.R12 = in.r12;
  out.R13 = in.r13;
  out.R14 = in.r14;
  out.R15 = in.r15;
  out.SegCs = in.cs;
  out.SegDs = in.ds;
  out.SegEs = in.es;
  out.SegFs = in.fs;
  out.SegGs = in.gs;
  out.SegSs = in.ss;
  out.MxCsr = in.mxcsr;
  if (in.hasFloatState) std::memcpy(&out.FltSave, in.floatState, sizeof in.floatState);
#else
  out.Eax = static_cast<DWORD>(in.ax);
  out.Ebx = static_cast<DWORD>(in.bx);
  out.Ecx = static_cast<DWORD>(in.cx);
  out.Edx = static_cast<DWORD>(in.dx);
  out.Esi = static_cast<DWORD>(in.si);
  out.Edi = static_cast<DWORD>(in.di);
  out.Ebp = static_cast<DWORD>(in.bp);
  out.Esp = static_cast<DWORD>(in.sp);
  out.Eip = static_cast<DWORD>(in.ip);
  out.SegCs = in.cs;
  out.SegDs = in.ds;
  out.SegEs = in.es;
  out.SegFs = in.fs;
  out.SegGs = in.gs;
  out.SegSs = in.ss;
  if (in.hasFloatState) std::memcpy(&out.FloatSave, in.floatState, sizeof in.floatState);
#endif
  out.EFlags = in.flags;
}

struct DumpWork {
  HANDLE file;
  MINIDUMP_TYPE type;
  MINIDUMP_EXCEPTION_INFORMATION exception;
  BOOL written;
};

// Kept out of the caller's frame: the caller may be short of stack.
EXCEPTION_RECORD gRecord;
CONTEXT gContext;
EXCEPTION_POINTERS gPointers;

DWORD WINAPI WriterEntry(void* parameter) {
  DumpWork& work = *static_cast<DumpWork*>(parameter);
  work.written = ::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), work.file, work.type,
                                     &work.exception, nullptr, nullptr);
  return 0;
}

// Creates the dump file. The ANSI calls stop at MAX_PATH characters, and a dump's name is its
// report's plus ".dmp": a longer absolute name goes through the wide call with the prefix
// that lifts the limit (which takes backslashes only).
HANDLE CreateDumpFile(const char* path) {
  constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE | DELETE;
  size_t length = std::strlen(path);
  if (length < MAX_PATH) {
    return ::CreateFileA(path, kAccess, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  constexpr size_t kMaxLongPath = 1024;
  wchar_t wide[kMaxLongPath];
  size_t at = 0;
  bool absolute = length > 2 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  if (absolute) {
    constexpr wchar_t kLongPrefix[] = L"\\\\?\\";
    for (size_t i = 0; i + 1 < sizeof kLongPrefix / sizeof kLongPrefix[0]; ++i) wide[at++] = kLongPrefix[i];
  }
  int converted = ::MultiByteToWideChar(CP_ACP, 0, path, static_cast<int>(length), wide + at,
                                        static_cast<int>(kMaxLongPath - at - 1));
  if (converted <= 0) return INVALID_HANDLE_VALUE;
  for (int i = 0; i < converted; ++i) {
    if (wide[at + i] == L'/') wide[at + i] = L'\\';
  }
  wide[at + converted] = L'\0';
  return ::CreateFileW(wide, kAccess, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

uint32_t SystemDumpFlags(int kind) {
  return static_cast<uint32_t>(kTypeForKind[kind > 0 && kind < kKinds ? kind : 1]);
}

// The system's writer runs on a fresh thread: it stops every other thread (the caller
// among them) and reads their registers and stacks itself; the exception it is given names
// the caller's thread and the registers the caller passed.
bool WriteSystemDump(const SystemDumpRequest& request) {
  if (!request.path || !request.context || request.kind <= 0) return false;
  HANDLE file = CreateDumpFile(request.path);
  if (file == INVALID_HANDLE_VALUE) return false;
  ContextToOs(*request.context, gContext);
  std::memset(&gRecord, 0, sizeof gRecord);
  gRecord.ExceptionCode = request.exceptionCode;
  gRecord.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  gRecord.ExceptionAddress = reinterpret_cast<void*>(request.context->ip);
  gPointers.ExceptionRecord = &gRecord;
  gPointers.ContextRecord = &gContext;
  DumpWork work = {};
  work.file = file;
  work.type = static_cast<MINIDUMP_TYPE>(SystemDumpFlags(request.kind));
  work.exception.ThreadId = request.threadId;
  work.exception.ExceptionPointers = &gPointers;
  work.exception.ClientPointers = FALSE;
  HANDLE thread = ::CreateThread(nullptr, kWriterStackSize, &WriterEntry, &work, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                 nullptr);
  if (thread) {
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
  }
  // A dump the writer gave up on is not left half written; the handle deletes it.
  if (!work.written) {
    FILE_DISPOSITION_INFO remove = {TRUE};
    ::SetFileInformationByHandle(file, FileDispositionInfo, &remove, sizeof remove);
  }
  ::CloseHandle(file);
  return work.written != FALSE;
}

}  // namespace Yr::Platform
