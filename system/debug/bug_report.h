// Assertion and crash reports.
//
// BugReport is the report front end: static settings that the assertion code of calling
// modules reads, and the operations that write a text report file when an assertion fails
// (AssertReport, AssertReportFmt) or an exception is reported (ExceptionReport, used by the
// crash handler). A report names the build, the local date and time, the message and a
// symbolised call stack. The file ("report.pcrpt" unless SetBasePath says otherwise) is
// created anew for every report, so it always holds the latest one; lines end in "\r\n".
//
// PCBugReport is the low-level writer: one process-wide report file and the operations that
// write text to it (or to the debug output when no file is open), plus the crash handler
// (ExceptionHandler, MiniDump, WriteExceptionCode, WriteRegisters; see crash_handler.h).
//
// Threads: reports are serialised by the report lock, a recursive process-wide lock built
// at load; the settings are plain values without a lock. The static text buffers are
// shared and used only under the report lock. What overlaps: the crash handler of any
// thread reads the reporting thread (Detail::ReportingThread) without the lock while a
// report is written, and a crash report waits for the lock only a bounded time, since its
// holder may be stuck behind a lock the crashed thread holds.
#pragma once

#include <cstdint>

#include "system/platform/export.h"

namespace Yr {
namespace Platform {
struct CpuContext;
}  // namespace Platform


struct ExceptionPointers;

class YR_API BugReport {
 public:
  using MessageBoxCallback = int (*)(const void*, const char*, unsigned int, const void**, unsigned int);

  static constexpr unsigned int kReportFilenameSize = 260;
  static constexpr unsigned int kBuildInfoSize = 128;
  static constexpr const char* kDefaultReportName = "report.pcrpt";

  ~BugReport();

  // ---- Settings ---------------------------------------------------------------------------
  static void SetReportToOutput(bool value);
  static void SetDialogsDisabled(bool value);
  static bool GetDialogsDisabled();
  // Also sets sPrintAssertionStack to the same value.
  static void SetThrowAssertion(bool value);
  static bool GetThrowAssertion();
  static void SetPrintAssertionStack(bool value);
  static void SetCrashDumpFormat(int format);
  static void SetExceptionHandlerDisabled(bool value);
  static bool GetExceptionHandlerDisabled();
  static void SetAbnormalShutdown(bool value);
  static bool GetAbnormalShutdown();
  static void SetMessageBoxCallback(MessageBoxCallback callback);
  static void SetAssertionBoxActive(bool value);
  static bool IsAssertionBoxActive();
  static bool IsAssertionActive();
  // Stores the pointer; the text is not copied.
  static void SetProcessFilename(const char* name);
  // The report file becomes path + "/" + "report.pcrpt" (no separator added when path ends
  // in one), at most 259 characters; null or empty gives "report.pcrpt".
  static void SetBasePath(const char* path);
  // The build line becomes "Build [PC] <text>\n", cut to 127 characters.
  static void SetBuildInfo(const char* text);
  static const char* GetBuildInfo() { return sBuildInfo; }

  // Kept for callers; they do nothing.
  static void SetLogging(bool value);
  static void LogStack(int depth, const char* text);

  // ---- Reports ----------------------------------------------------------------------------
  // Writes the assertion report: header, text, empty line, the stack walked from
  // framePointer (none for null); then a minidump when sCrashDumpFormat is above 0.
  static void AssertReport(void* framePointer, const char* text, bool disableLogging);
  // Formats the message (at most 255 characters) and writes the report bracketed by the
  // start and end lines; the stack begins with the caller of AssertReportFmt.
  static void AssertReportFmt(const char* format, ...) YR_PRINTF(1, 2);
  // The crash report: header, exception line, text (when given), address and stack,
  // registers of context (a ucontext_t).
  static void ExceptionReport(void* address, void* framePointer, unsigned long long code, void* context,
                              const char* text);
  // "Address: <address>  <symbol>", an empty line, the stack section and an empty line.
  static void WriteAddressAndStack(void* address, void* framePointer);

  // For client exception filters: ends the process with exit code 1 when a crash is
  // already being handled; otherwise marks one and hands on to PCBugReport.
  // exceptionPointers is an ExceptionPointers (crash_handler.h).
  static int ExceptionHandler(unsigned long long code, void* exceptionPointers, const char* text);
  static void SetUnhandledExceptionHandler();

  static bool sReportToOutput;
  static bool sDialogsDisabled;
  static bool sThrowAssertion;
  static bool sPrintAssertionStack;
  static int sCrashDumpFormat;
  static bool sExceptionHandlerDisabled;
  static bool sAbnormalShutdown;
  static MessageBoxCallback sMessageBoxCallback;
  static bool sAssertionBoxActive;
  static bool sAssertionActive;
  static const char* sProcessFilename;
  static char sReportFilename[kReportFilenameSize];
  static bool sDisableLogging;
  static char sBuildInfo[kBuildInfoSize];
};

class YR_API PCBugReport {
 public:
  // The report file handle; kInvalidFile (all bits set) when none is open.
  static constexpr intptr_t kInvalidFile = -1;

  ~PCBugReport();

  // With sReportToOutput set, opens nothing and returns true; otherwise creates the file
  // (existing content discarded) and returns whether that worked.
  static bool Open(const char* name);
  // Closes the file if one is open; flushes standard output when debug output is on.
  static void Close();
  // To the open file; without one, to the debug output and standard output when debug
  // output is on; otherwise dropped.
  static void WriteStr(const char* text);
  static void WriteStrLN(const char* text);
  // At most 255 characters; "%p" (with any width) prints the address as upper-case hex
  // digits, two per byte of a pointer, without prefix.
  static void WriteFmt(const char* format, ...) YR_PRINTF(1, 2);
  static void WriteFmtLN(const char* format, ...) YR_PRINTF(1, 2);
  static void WriteModuleInfo();

  // ---- Crash handler (crash_handler.cpp) --------------------------------------------------
  static void SetUnhandledExceptionHandler();
  // 1 when dialogs are disabled or the exception handler is not disabled, else 0. A
  // breakpoint returns that at once; any other code writes the crash report and the
  // minidump and ends the process with exit code 1.
  static int ExceptionHandler(unsigned long long code, ExceptionPointers* pointers, const char* text);
  // Writes a minidump of the process as it is now (sCrashDumpFormat above 0) and returns.
  static void MiniDump();
  // "Exception XXXXXXXX  NAME" (the name only for known codes).
  static void WriteExceptionCode(unsigned long long code);
  // The register block of a thread context (a ucontext_t); nothing for null.
  static void WriteRegisters(void* context);

  static intptr_t mFile;
};

namespace Detail {
// Load steps: the report lock, then the BugReport singleton (default report name, symbol
// handler, unhandled-exception filter; the filter is taken down at unload).
void BuildBugReportLock();
void DestroyBugReportLock();
void BuildBugReport();
// Unload: the fault handlers and the alternate stack go with the library's code.
void DestroyBugReport();

// The report lock, for the crash handler.
void LockReports();
void UnlockReports();
// The thread writing a report right now (0 when none): a fault on that thread ends the
// process at once. Only the report lock's owner writes it (its own id on entry, the outer
// value on leaving), while a crash on any thread reads it without the lock, so the two
// overlap: the value is atomic, and a reader sees 0, the current owner or an earlier one,
// never a torn mix. Only the owner can find its own id there, so the answer to "is this
// thread inside a report" is exact.
YR_API uint32_t ReportingThread();
// The stack section for a frame pointer. firstReturn, when not null, is listed before the
// walk: the return address of a faulting function that keeps no frame record.
// With stopped, the registers of a stopped thread, the walk follows the system's unwind
// tables from there where the system has them for this (64-bit Windows, whose code keeps
// the frame pointer inside large frames); elsewhere it is the frame-pointer walk.
void WriteStackSection(void* framePointer, void* firstReturn = nullptr,
                       const Platform::CpuContext* stopped = nullptr);
// ExceptionReport with the return address of a frameless faulting function (or null).
void WriteExceptionReport(void* address, void* framePointer, void* firstReturn, unsigned long long code,
                          void* context, const char* text, const Platform::CpuContext* stopped = nullptr);
}  // namespace Detail

}  // namespace Yr
