#include "system/platform/child_platform.h"

#include <windows.h>

#include <cstring>

namespace Yr::Platform {
namespace {

// The helper's channel is one duplex named pipe: the caller holds its server end
// (overlapped, so that every wait has a deadline), the helper the client end as both its
// standard input and output.
constexpr DWORD kPipeBufferBytes = 64 * 1024;
constexpr DWORD kStopWaitMilliseconds = 5000;
constexpr UINT kStoppedExitCode = 1;
// The longest command line the system takes, terminator included.
constexpr size_t kCommandLineCapacity = 32768;
constexpr size_t kPipeNameCapacity = 96;
// Room for an attribute list with one entry (the handles the helper inherits).
constexpr size_t kAttributeListCapacity = 256;

// Kernel handles are 32 bits wide on every build (the system keeps their values below 2^31
// so that 32- and 64-bit processes can share them): the header's ints hold them.
int HandleToInt(HANDLE handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }
HANDLE IntToHandle(int value) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(value)); }

// The command line and the attribute list are built in static storage: the crash path may
// run on a small stack, and StartHelper is made by one thread at a time (the crash latch);
// a second caller meanwhile is refused.
char gCommandLine[kCommandLineCapacity];
alignas(16) unsigned char gAttributeList[kAttributeListCapacity];
volatile LONG gStarting = 0;
volatile LONG gPipeCounter = 0;

class TextBuilder {
 public:
  TextBuilder(char* out, size_t capacity) : mOut(out), mCapacity(capacity) { mOut[0] = '\0'; }
  void Append(char c) {
    if (mLength + 1 < mCapacity) {
      mOut[mLength++] = c;
      mOut[mLength] = '\0';
    } else {
      mOverflow = true;
    }
  }
  void Append(const char* text) {
    for (; *text; ++text) Append(*text);
  }
  void AppendDecimal(uint64_t value) {
    char digits[24];
    int count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (count > 0) Append(digits[--count]);
  }
  // One argument as the C runtime splits command lines: quoted, with the backslashes
  // before a quote (and before the closing quote) doubled and the quote escaped.
  void AppendArgument(const char* argument) {
    Append('"');
    size_t backslashes = 0;
    for (const char* at = argument;; ++at) {
      if (*at == '\\') {
        ++backslashes;
        continue;
      }
      if (*at == '"' || *at == '\0') {
        for (size_t i = 0; i < backslashes * 2; ++i) Append('\\');
        backslashes = 0;
        if (*at == '\0') break;
        Append('\\');
        Append('"');
        continue;
      }
      for (; backslashes > 0; --backslashes) Append('\\');
      Append(*at);
    }
    Append('"');
  }
  bool Overflowed() const { return mOverflow; }

 private:
  char* mOut;
  size_t mCapacity;
  size_t mLength = 0;
  bool mOverflow = false;
};

// Starts the process with only the client end inherited where the system lets a process
// name the handles it passes on; elsewhere with every inheritable handle.
bool CreateHelperProcess(const char* program, HANDLE client, PROCESS_INFORMATION& started) {
  STARTUPINFOEXA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = client;
  startup.StartupInfo.hStdOutput = client;
  startup.StartupInfo.hStdError = nullptr;
  DWORD flags = 0;
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  if (size > 0 && size <= sizeof gAttributeList) {
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(gAttributeList);
    if (InitializeProcThreadAttributeList(list, 1, 0, &size)) {
      if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &client, sizeof client, nullptr,
                                    nullptr)) {
        startup.lpAttributeList = list;
        flags |= EXTENDED_STARTUPINFO_PRESENT;
      } else {
        DeleteProcThreadAttributeList(list);
      }
    }
  }
  std::memset(&started, 0, sizeof started);
  BOOL created = CreateProcessA(program, gCommandLine, nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                                &startup.StartupInfo, &started);
  if (startup.lpAttributeList) DeleteProcThreadAttributeList(startup.lpAttributeList);
  return created != FALSE;
}

// One overlapped transfer on the caller's end, waited for until deadline (MonotonicMilliseconds;
// 0: not at all). Returns the bytes moved; 0 when nothing moved (the helper gone, an error,
// or the time up).
DWORD Transfer(HANDLE channel, void* bytes, DWORD count, bool reading, uint64_t deadline) {
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!done) return 0;
  OVERLAPPED overlapped;
  std::memset(&overlapped, 0, sizeof overlapped);
  overlapped.hEvent = done;
  BOOL finished = reading ? ReadFile(channel, bytes, count, nullptr, &overlapped)
                          : WriteFile(channel, bytes, count, nullptr, &overlapped);
  DWORD moved = 0;
  if (finished || GetLastError() == ERROR_IO_PENDING) {
    if (!finished) {
      uint64_t now = MonotonicMilliseconds();
      DWORD wait = deadline > now ? static_cast<DWORD>(deadline - now < INFINITE - 1 ? deadline - now : INFINITE - 1) : 0;
      if (WaitForSingleObject(done, wait) != WAIT_OBJECT_0) {
        // The buffer is the caller's: the transfer must be over before this returns. A part
        // that arrived while it was being cancelled is given away; the caller fails anyway.
        CancelIoEx(channel, &overlapped);
        GetOverlappedResult(channel, &overlapped, &moved, TRUE);
        CloseHandle(done);
        return 0;
      }
    }
    if (!GetOverlappedResult(channel, &overlapped, &moved, FALSE)) moved = 0;
  }
  CloseHandle(done);
  return moved;
}

}  // namespace

bool StartHelper(const char* program, char* const* arguments, HelperProcess& out) {
  out = {0, -1};
  if (!program || !*program) return false;
  if (InterlockedCompareExchange(&gStarting, 1, 0) != 0) return false;
  bool started = false;
  TextBuilder command(gCommandLine, sizeof gCommandLine);
  for (char* const* argument = arguments; argument && *argument; ++argument) {
    if (argument != arguments) command.Append(' ');
    command.AppendArgument(*argument);
  }
  char name[kPipeNameCapacity];
  TextBuilder pipeName(name, sizeof name);
  pipeName.Append("\\\\.\\pipe\\yr-helper-");
  pipeName.AppendDecimal(GetCurrentProcessId());
  pipeName.Append('-');
  pipeName.AppendDecimal(static_cast<uint64_t>(static_cast<ULONG>(InterlockedIncrement(&gPipeCounter))));
  pipeName.Append('-');
  pipeName.AppendDecimal(GetTickCount64());
  if (!command.Overflowed() && !pipeName.Overflowed()) {
    HANDLE server = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                     kPipeBufferBytes, kPipeBufferBytes, 0, nullptr);
    if (server != INVALID_HANDLE_VALUE) {
      SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
      HANDLE client = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, &inherited, OPEN_EXISTING, 0, nullptr);
      if (client != INVALID_HANDLE_VALUE) {
        PROCESS_INFORMATION process;
        if (CreateHelperProcess(program, client, process)) {
          CloseHandle(process.hThread);
          out = {HandleToInt(process.hProcess), HandleToInt(server)};
          started = true;
        }
        CloseHandle(client);
      }
      if (!started) CloseHandle(server);
    }
  }
  InterlockedExchange(&gStarting, 0);
  return started;
}

bool SendToHelper(const HelperProcess& helper, const void* bytes, size_t count) {
  if (helper.process <= 0) return false;
  const char* cursor = static_cast<const char*>(bytes);
  while (count > 0) {
    DWORD piece = count > kPipeBufferBytes ? kPipeBufferBytes : static_cast<DWORD>(count);
    // Never waits: a write the pipe cannot take at once means the helper's end is full.
    DWORD sent = Transfer(IntToHandle(helper.channel), const_cast<char*>(cursor), piece, false, 0);
    if (sent == 0) return false;
    cursor += sent;
    count -= sent;
  }
  return true;
}

bool ReceiveFromHelper(const HelperProcess& helper, void* bytes, size_t count, uint64_t deadline) {
  if (helper.process <= 0) return false;
  char* cursor = static_cast<char*>(bytes);
  while (count > 0) {
    if (MonotonicMilliseconds() >= deadline) return false;
    DWORD piece = count > kPipeBufferBytes ? kPipeBufferBytes : static_cast<DWORD>(count);
    DWORD got = Transfer(IntToHandle(helper.channel), cursor, piece, true, deadline);
    if (got == 0) return false;
    cursor += got;
    count -= got;
  }
  return true;
}

void StopHelper(HelperProcess& helper) {
  if (helper.channel != -1) CloseHandle(IntToHandle(helper.channel));
  if (helper.process > 0) {
    HANDLE process = IntToHandle(helper.process);
    TerminateProcess(process, kStoppedExitCode);
    WaitForSingleObject(process, kStopWaitMilliseconds);
    CloseHandle(process);
  }
  helper = {0, -1};
}

uint64_t MonotonicMilliseconds() { return GetTickCount64(); }

ptrdiff_t ReadFromCaller(void* buffer, size_t capacity) {
  DWORD piece = capacity > kPipeBufferBytes ? kPipeBufferBytes : static_cast<DWORD>(capacity);
  DWORD got = 0;
  if (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, piece, &got, nullptr)) return static_cast<ptrdiff_t>(got);
  // The caller closing its end is the end of the requests.
  DWORD error = GetLastError();
  return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ? 0 : -1;
}

bool WriteToCaller(const void* bytes, size_t count) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  const char* cursor = static_cast<const char*>(bytes);
  while (count > 0) {
    DWORD piece = count > kPipeBufferBytes ? kPipeBufferBytes : static_cast<DWORD>(count);
    DWORD sent = 0;
    if (!WriteFile(output, cursor, piece, &sent, nullptr) || sent == 0) return false;
    cursor += sent;
    count -= sent;
  }
  return true;
}

void BecomeHelper() {
  // Nothing of the caller's came along but the pipe, and there is no signal mask to undo:
  // what is left is that a fault in the helper ends it quietly, without the system's error
  // dialog waiting for a click that never comes.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

}  // namespace Yr::Platform
