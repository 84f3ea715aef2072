// File: asynchronous reads of one file.
//
// A File is a RawFile (same state, same error rules) opened for reading with
// OpenOverlapped | OpenNoBuffering and tied to a completion port of its own. Streaming
// loaders keep reads in flight while they work:
//
//   Yr::File file;
//   Yr::File::FileCompletion completion;
//   Yr::File::FileAsync first, second;
//   if (file.Open("level.pak", completion)) {
//     file.Read(bufferA, 65536, 0, first);
//     file.Read(bufferB, 65536, 65536, second);
//     completion.Wait1(first);   // returns on the next finished read, whichever it is
//     completion.Wait1(second);
//   }
//
// Each Read takes a FileAsync record of its own, which must stay alive, like its buffer,
// until its completion has been taken by a wait. A wait returns on the next completion of
// any read of the file; the record passed to it is not consulted. When a completion is
// taken, its record's status words are filled in and its event is set.
//
// Unbuffered reads: buffers, sizes and offsets that keep the file system's alignment for
// direct transfers go around the system cache. Where the file system does no direct
// transfers, and for a read that breaks the alignment it reports, the read goes through the
// cache instead of failing. A read that reaches the end of the file completes with the bytes
// there were; one that starts at or after the end fails.
//
// Ownership: the port is shared by the File that made it and every FileCompletion holding
// it (copies included). Closing the File waits for its reads in flight and closes the port
// for good: waits on any holder then return false at once. The port's memory goes with its
// last holder; FileCompletion::Release lets a holder go early.
//
// Threads: reads may be started and completions awaited from any thread.
#pragma once

#include <cstdint>

#include "system/io/raw_file.h"
#include "system/platform/export.h"
#include "system/strings/string_id.h"

namespace Yr {

// Status word of a FileAsync record.
enum FileAsyncStatus : uint32_t {
  kAsyncOk = 0,                // the read completed; the second word holds the bytes read
  kAsyncPending = 0x103u,      // started, completion not yet taken
  kAsyncRefused = 0xC0000001u, // the read could not be started
  kAsyncEndOfFile = 0xC0000011u,  // the read started at or after the end of the file
  // any other value: the system's error number for a read that failed
};

class YR_API File : public RawFile {
 public:
  class FileAsync;

  // Holds the completion port a File made. Copies share it.
  class YR_API FileCompletion {
   public:
    FileCompletion() = default;
    FileCompletion(const FileCompletion& other);
    FileCompletion& operator=(const FileCompletion& other);
    ~FileCompletion();

    // Waits without time limit for the next completion; true when it was a successful read.
    bool Wait1(FileAsync& request);
    // As Wait1, giving up after timeoutMs milliseconds (0 polls; 0xFFFFFFFF waits without
    // limit).
    bool Wait(FileAsync& request, unsigned int timeoutMs);
    // Lets go of the port; waits then return false.
    void Release();
    bool HasPort() const { return mPort != 0; }
    intptr_t GetPort() const { return mPort; }

   private:
    friend class File;
    intptr_t mPort = 0;
  };

  // The request record of one read: 64 bytes, beginning with two status words (status and
  // bytes transferred), the file offset as low and high word and the event handle. The rest
  // is the caller's; these operations do not touch it.
  class YR_API FileAsync {
   public:
    // Creates the record's event: manual reset, not signalled. The name is not used.
    explicit FileAsync(const char* name = nullptr);
    ~FileAsync();
    // Copies all 64 bytes; the event handle is shared, not closed twice.
    FileAsync(const FileAsync& other);
    FileAsync& operator=(const FileAsync& other);

    uint32_t GetStatus() const { return static_cast<uint32_t>(mStatus); }
    // Bytes read, once the completion is taken.
    uintptr_t GetTransferred() const { return mTransferred; }
    uint32_t GetOffset() const { return mOffset; }
    uint32_t GetOffsetHigh() const { return mOffsetHigh; }
    // A handle for Platform::EventWait / EventIsSet.
    intptr_t GetEvent() const { return mEvent; }

    unsigned char* UserBytes() { return mUser; }

   private:
    friend class File;
    friend struct FileAsyncAccess;

    uintptr_t mStatus = kAsyncOk;
    uintptr_t mTransferred = 0;  // while pending: the size asked for
    uint32_t mOffset = 0;
    uint32_t mOffsetHigh = 0;
    intptr_t mEvent = 0;
    unsigned char mUser[64 - 2 * sizeof(uintptr_t) - 2 * sizeof(uint32_t) - sizeof(intptr_t)] = {};
  };

  static constexpr unsigned int kOpenFlags = OpenOverlapped | OpenNoBuffering;

  File() = default;
  ~File() { Close(); }

  // Opens name for asynchronous reads and makes its port, stored in completion (which lets
  // go of any port it held). False at once while an error state is set; false when the file
  // does not open or no port can be made.
  bool Open(const char* name, FileCompletion& completion);
  // As above, through the mount chain of the name; error state 1 when it has none.
  bool Open(const StringId& mount, const char* name, FileCompletion& completion);

  // Starts a read of size bytes at offset into buffer (offset high word 0, the request's
  // event reset). True when the read was started; false when the file is not open or the
  // system refuses. The error state is neither checked nor changed.
  bool Read(void* buffer, unsigned int size, unsigned int offset, FileAsync& request);

  // Waits for the reads in flight, closes the port for good, then closes the file.
  void Close();

 private:
  bool MakePort(FileCompletion& completion);

  intptr_t mPort = 0;
};

static_assert(sizeof(File::FileAsync) == 64, "the request record is 64 bytes on every build");
static_assert(sizeof(File::FileCompletion) == sizeof(void*), "one field: the port handle");
}  // namespace Yr
