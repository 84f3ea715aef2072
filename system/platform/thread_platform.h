// Threads on the operating system: creation behind a start gate, names, priority levels,
// the preferred processor, suspension of a running thread, waiting for the end and the
// calling thread's id.
//
// A thread lives in a ThreadRecord that the caller places in storage of ThreadRecordSize()
// bytes (16-byte aligned) and frees after ThreadRecordDestroy. The caller decides when that
// is; the record must outlive the thread's use of it, which ends with the `finished`
// callback given to ThreadCreate (the last thing the thread does with the record).
//
// Suspension is real: the thread stops executing until resumed. On Linux it is made with a
// reserved real-time signal whose handler acknowledges and then waits in sigsuspend until
// resumed; the handler is installed with SA_RESTART so the thread's interrupted system
// calls carry on. On Windows it is SuspendThread and ResumeThread, and a new thread is
// created suspended (CREATE_SUSPENDED is its start gate). Suspend and Resume allocate
// nothing and take no lock the suspended thread could hold. Suspension is counted: a thread
// runs only while its count is 0, and a new thread starts with count 1, waiting at its
// start gate.
//
// Functions taking a record accept null to mean the calling thread (the "current thread"
// pseudo-handle); suspension and waiting do nothing for it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/platform/export.h"

namespace Yr::Platform {

struct ThreadRecord;

// Runs on the new thread; its result is the thread's exit code.
using ThreadEntry = unsigned int (*)(void* argument);
// Called on the thread after it has ended (entry returned, suspension no longer possible).
using ThreadFinished = void (*)(void* context);

YR_API size_t ThreadRecordSize();

// Builds a record in storage and creates a thread that publishes its id and then waits at
// its start gate (suspend count 1) before calling entry(argument). Returns the record, or
// null when the system refused to make the thread (storage is then left unused).
YR_API ThreadRecord* ThreadCreate(void* storage, ThreadEntry entry, void* argument, ThreadFinished finished,
                                  void* context);
// Ends the record: a thread that was never waited for is detached. The storage may then be
// freed. Must not be called while another caller still uses the record.
YR_API void ThreadRecordDestroy(ThreadRecord* record);

// The system id of the thread (0 for null: use CurrentThreadId).
YR_API uint32_t ThreadId(const ThreadRecord* record);
YR_API uint32_t CurrentThreadId();

// Names the thread for debuggers and system tools. Names are cut to 15 characters (all
// Linux keeps; Windows is given the same cut name, through SetThreadDescription where the
// system has it and to an attached debugger). A null name leaves the name unchanged.
YR_API void ThreadSetName(ThreadRecord* record, const char* name);

// Binds the thread to one processor (on Windows also its ideal processor). False (and
// nothing changed) when the processor does not exist or is not available to the process.
YR_API bool ThreadSetProcessor(ThreadRecord* record, unsigned int processor);

// Priority levels from -15 (idle) to 15 (time critical), 0 normal; other values are
// clamped. A level the process is not allowed to raise the thread to is replaced by the
// highest level it is allowed.
// Linux: each level is the negated per-thread nice value.
// Windows: the seven thread priorities are the levels -15 (idle), -2 (lowest), -1, 0, 1,
// 2 (highest) and 15 (time critical). Levels between go to the nearest of them on their side
// of normal, never to an extreme: -14..-2 lowest, 2..14 highest. Reading back gives the
// priority's own level, so setting -3 reads back -2.
YR_API void ThreadSetPriority(ThreadRecord* record, int level);
// The level read back from the system (clamped to -15..15); for a thread that has ended,
// the last level read or set.
YR_API int ThreadGetPriority(ThreadRecord* record);

// Raise and lower the suspend count; each returns the count before the call. Suspend
// returns once the thread has stopped (or has ended). Resume of a thread still at its start
// gate lets it start; a count of 0 is left at 0.
YR_API unsigned int ThreadSuspend(ThreadRecord* record);
YR_API unsigned int ThreadResume(ThreadRecord* record);

// True once the thread's entry function has returned.
YR_API bool ThreadEnded(const ThreadRecord* record);

// Waits without time limit for the thread to end and returns its exit code. Waiting again
// returns the same code at once.
YR_API unsigned int ThreadWait(ThreadRecord* record);

// The reserved signal used for suspension (for diagnostics and tests); 0 on Windows, which
// suspends threads without a signal.
YR_API int ThreadSuspendSignal();

}  // namespace Yr::Platform
