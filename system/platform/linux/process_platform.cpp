#include "system/platform/process_platform.h"

#include "system/platform/process_shared.h"
#include "system/platform/vm_platform.h"

#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace Yr::Platform {
namespace {

// Readability is tested with process_vm_readv on the own process: it fails with EFAULT on
// unreadable memory instead of faulting. Where the system lacks it (some emulators), a
// write of one byte from the address into a pipe gives the same answer.
std::atomic<int> gVmReadState{0};  // 0 unknown, 1 available, -1 missing
std::atomic<int> gProbePipe[2] = {-1, -1};

bool ProbePipe(int& readEnd, int& writeEnd) {
  readEnd = gProbePipe[0].load(std::memory_order_acquire);
  writeEnd = gProbePipe[1].load(std::memory_order_acquire);
  if (readEnd >= 0 && writeEnd >= 0) return true;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  int expected = -1;
  if (!gProbePipe[1].compare_exchange_strong(expected, ends[1])) {
    ::close(ends[0]);
    ::close(ends[1]);
  } else {
    gProbePipe[0].store(ends[0], std::memory_order_release);
  }
  // Another thread may still be publishing its read end; wait for it.
  while ((readEnd = gProbePipe[0].load(std::memory_order_acquire)) < 0) {
  }
  writeEnd = gProbePipe[1].load(std::memory_order_acquire);
  return true;
}

bool PipeReadable(const void* address) {
  int readEnd, writeEnd;
  if (!ProbePipe(readEnd, writeEnd)) return false;
  for (;;) {
    ssize_t written = ::write(writeEnd, address, 1);
    if (written == 1) {
      char sink;
      while (::read(readEnd, &sink, 1) < 0 && errno == EINTR) {
      }
      return true;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno == EAGAIN) {
      char drain[64];
      while (::read(readEnd, drain, sizeof drain) > 0) {
      }
      continue;
    }
    return false;
  }
}

// Reads up to count bytes through process_vm_readv; -1 when the call is missing.
long VmRead(void* destination, const void* source, size_t count) {
  if (gVmReadState.load(std::memory_order_relaxed) < 0) return -1;
  struct iovec local = {destination, count};
  struct iovec remote = {const_cast<void*>(source), count};
  ssize_t result = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
  if (result < 0 && (errno == ENOSYS || errno == EPERM)) {
    gVmReadState.store(-1, std::memory_order_relaxed);
    return -1;
  }
  gVmReadState.store(1, std::memory_order_relaxed);
  return result < 0 ? 0 : result;
}

bool PageReadable(uintptr_t address) {
  char byte;
  long result = VmRead(&byte, reinterpret_cast<const void*>(address), 1);
  if (result >= 0) return result == 1;
  return PipeReadable(reinterpret_cast<const void*>(address));
}

size_t CopyLength(const char* text) { return text ? std::strlen(text) : 0; }

}  // namespace

int CreateFileForWriting(const char* path) {
  if (!path || !*path) return kInvalidFile;
  int file;
  do {
    file = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  } while (file < 0 && errno == EINTR);
  return file < 0 ? kInvalidFile : file;
}

int OpenFileForReading(const char* path) {
  if (!path || !*path) return kInvalidFile;
  int file;
  do {
    file = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (file < 0 && errno == EINTR);
  return file < 0 ? kInvalidFile : file;
}

bool WriteFileBytes(int file, const void* bytes, size_t count) {
  if (file < 0) return false;
  const char* cursor = static_cast<const char*>(bytes);
  while (count > 0) {
    ssize_t written = ::write(file, cursor, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    cursor += written;
    count -= static_cast<size_t>(written);
  }
  return true;
}

bool WriteFileBytesAt(int file, uint64_t offset, const void* bytes, size_t count) {
  if (file < 0) return false;
  const char* cursor = static_cast<const char*>(bytes);
  while (count > 0) {
    ssize_t written = ::pwrite(file, cursor, count, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    cursor += written;
    offset += static_cast<uint64_t>(written);
    count -= static_cast<size_t>(written);
  }
  return true;
}

long ReadFileBytes(int file, void* buffer, size_t capacity) {
  if (file < 0) return -1;
  for (;;) {
    ssize_t got = ::read(file, buffer, capacity);
    if (got < 0 && errno == EINTR) continue;
    return static_cast<long>(got);
  }
}

void CloseFile(int file) {
  if (file >= 0) ::close(file);
}

bool ReadableBytes(const void* address, size_t count) {
  if (!address) return false;
  if (count == 0) return true;
  uintptr_t first = reinterpret_cast<uintptr_t>(address);
  uintptr_t last = first + count - 1;
  if (last < first) return false;
  const uintptr_t page = VirtualPageSize();
  // One byte per page decides for the whole page.
  for (uintptr_t probe = first;;) {
    if (!PageReadable(probe)) return false;
    uintptr_t next = (probe | (page - 1)) + 1;
    if (next == 0 || next > last) break;
    probe = next;
  }
  return true;
}

size_t CopyOwnMemory(void* destination, const void* source, size_t count) {
  char* out = static_cast<char*>(destination);
  uintptr_t cursor = reinterpret_cast<uintptr_t>(source);
  const uintptr_t page = VirtualPageSize();
  size_t copied = 0;
  while (count > 0) {
    // The whole rest in one call; a short read stops at the first unreadable page.
    long got = VmRead(out, reinterpret_cast<const void*>(cursor), count);
    if (got < 0) {
      size_t chunk = static_cast<size_t>(((cursor | (page - 1)) + 1) - cursor);
      if (chunk > count) chunk = count;
      got = PipeReadable(reinterpret_cast<const void*>(cursor))
                ? (std::memcpy(out, reinterpret_cast<const void*>(cursor), chunk), static_cast<long>(chunk))
                : 0;
      if (static_cast<size_t>(got) < chunk) {
        std::memset(out + got, 0, chunk - static_cast<size_t>(got));
      }
      copied += static_cast<size_t>(got);
      out += chunk;
      cursor += chunk;
      count -= chunk;
      continue;
    }
    copied += static_cast<size_t>(got);
    out += got;
    cursor += static_cast<uintptr_t>(got);
    count -= static_cast<size_t>(got);
    if (count == 0) break;
    // The page at cursor cannot be read: zeros for it, then carry on behind it.
    size_t skip = static_cast<size_t>(((cursor | (page - 1)) + 1) - cursor);
    if (skip > count) skip = count;
    std::memset(out, 0, skip);
    out += skip;
    cursor += skip;
    count -= skip;
  }
  return copied;
}

uint32_t OwnProcessId() { return static_cast<uint32_t>(::getpid()); }
uint32_t OwnThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

unsigned int ProcessorCount() {
  long count = ::sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? static_cast<unsigned int>(count) : 1u;
}

uint32_t UnixTime() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<uint32_t>(now.tv_sec);
}

size_t ExecutablePath(char* out, size_t size) {
  if (size == 0) return 0;
  ssize_t length = ::readlink("/proc/self/exe", out, size - 1);
  if (length <= 0) {
    out[0] = '\0';
    return 0;
  }
  out[length] = '\0';
  return static_cast<size_t>(length);
}

size_t CurrentDirectory(char* out, size_t size) {
  if (size == 0) return 0;
  if (!::getcwd(out, size)) {
    out[0] = '\0';
    return 0;
  }
  return std::strlen(out);
}

size_t OsRelease(char* out, size_t size) {
  struct utsname names;
  if (::uname(&names) != 0) return CopyCut(out, size, "", 0);
  return CopyCut(out, size, names.release, CopyLength(names.release));
}

// The zone's offset from UTC at a moment, through the C library (under its lock: at load
// only); the table of offsets is built from it in local_time.cpp.
bool ZoneOffsetAt(int64_t seconds, long& offset) {
  time_t moment = static_cast<time_t>(seconds);
  struct tm local;
  if (!::localtime_r(&moment, &local)) return false;
  offset = local.tm_gmtoff;
  return true;
}

int64_t UnixTimeNow() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec);
}

// ---- Reserved descriptors -------------------------------------------------------------------
namespace {
// Each slot holds a descriptor plus one, so that 0 marks an empty slot.
std::atomic<int> gReserved[kReservedDescriptors];
}  // namespace

void ReserveDescriptors() {
  for (std::atomic<int>& slot : gReserved) {
    if (slot.load(std::memory_order_acquire) != 0) continue;
    // A path descriptor of the root: it always opens and holds nothing but the slot.
    int spare = ::open("/", O_PATH | O_CLOEXEC);
    if (spare < 0) return;
    int expected = 0;
    if (!slot.compare_exchange_strong(expected, spare + 1)) ::close(spare);
  }
}

void ReleaseReservedDescriptors() {
  for (std::atomic<int>& slot : gReserved) {
    int held = slot.exchange(0, std::memory_order_acq_rel);
    if (held != 0) ::close(held - 1);
  }
}

unsigned int ReservedDescriptorCount() {
  unsigned int count = 0;
  for (const std::atomic<int>& slot : gReserved) count += slot.load(std::memory_order_acquire) != 0;
  return count;
}

// ---- Mapped files ---------------------------------------------------------------------------
size_t MappedFileAt(uintptr_t address, char* out, size_t size) {
  if (size == 0) return 0;
  out[0] = '\0';
  int file = OpenFileForReading("/proc/self/maps");
  if (file < 0) return 0;
  // Line by line through a buffer on the stack; a line longer than the buffer is skipped.
  char buffer[8192];
  size_t held = 0;
  size_t found = 0;
  bool skipping = false;
  for (bool done = false; !done && found == 0;) {
    long got = ReadFileBytes(file, buffer + held, sizeof buffer - held);
    if (got <= 0) break;
    held += static_cast<size_t>(got);
    size_t start = 0;
    for (;;) {
      char* end = static_cast<char*>(std::memchr(buffer + start, '\n', held - start));
      if (!end) break;
      const char* line = buffer + start;
      size_t length = static_cast<size_t>(end - line);
      start += length + 1;
      if (skipping) {
        skipping = false;
        continue;
      }
      // "start-end perms offset device inode   path"
      const char* cursor = line;
      const char* lineEnd = line + length;
      auto hex = [&]() {
        uintptr_t value = 0;
        for (; cursor < lineEnd; ++cursor) {
          char c = *cursor;
          int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
          if (digit < 0) break;
          value = (value << 4) | static_cast<uintptr_t>(digit);
        }
        return value;
      };
      uintptr_t low = hex();
      if (cursor < lineEnd && *cursor == '-') ++cursor;
      uintptr_t high = hex();
      if (address < low || address >= high) continue;
      for (int field = 0; field < 4; ++field) {  // perms, offset, device, inode
        while (cursor < lineEnd && *cursor == ' ') ++cursor;
        while (cursor < lineEnd && *cursor != ' ') ++cursor;
      }
      while (cursor < lineEnd && *cursor == ' ') ++cursor;
      if (cursor < lineEnd && *cursor == '/') found = CopyCut(out, size, cursor, static_cast<size_t>(lineEnd - cursor));
      done = true;
      break;
    }
    if (done) break;
    if (start == 0 && held == sizeof buffer) {
      held = 0;
      skipping = true;
    } else {
      std::memmove(buffer, buffer + start, held - start);
      held -= start;
    }
  }
  CloseFile(file);
  return found;
}

size_t ModulePathOf(const void* address, char* out, size_t size) {
  if (size == 0) return 0;
  Dl_info info;
  if (::dladdr(address, &info) == 0 || !info.dli_fname || !*info.dli_fname) {
    out[0] = '\0';
    return 0;
  }
  return CopyCut(out, size, info.dli_fname, CopyLength(info.dli_fname));
}

bool DebuggerAttached() {
  char status[4096];
  if (ReadWholeFile("/proc/self/status", status, sizeof status) <= 0) return false;
  const char* field = std::strstr(status, "TracerPid:");
  if (!field) return false;
  field += std::strlen("TracerPid:");
  while (*field == ' ' || *field == '\t') ++field;
  return *field >= '1' && *field <= '9';
}

bool DebugBreakIfAttached() {
  if (!DebuggerAttached()) return false;
  ::raise(SIGTRAP);
  return true;
}

void ExitProcessNow(int code) { ::_exit(code); }

bool CodeMappingOf(const void* address, uintptr_t& begin, uintptr_t& end) {
  struct Search {
    uintptr_t target;
    uintptr_t begin;
    uintptr_t end;
  } search = {reinterpret_cast<uintptr_t>(address), 0, 0};
  // The loader's own list of modules and their segments, in memory: no file to read.
  auto visit = [](struct dl_phdr_info* module, size_t, void* context) -> int {
    Search& found = *static_cast<Search*>(context);
    for (size_t i = 0; i < module->dlpi_phnum; ++i) {
      const ElfW(Phdr)& segment = module->dlpi_phdr[i];
      if (segment.p_type != PT_LOAD) continue;
      uintptr_t low = static_cast<uintptr_t>(module->dlpi_addr + segment.p_vaddr);
      uintptr_t high = low + static_cast<uintptr_t>(segment.p_memsz);
      if (found.target >= low && found.target < high) {
        found.begin = low;
        found.end = high;
        return 1;
      }
    }
    return 0;
  };
  if (::dl_iterate_phdr(visit, &search) == 0) return false;
  begin = search.begin;
  end = search.end;
  return true;
}

size_t ListThreadIds(uint32_t* out, size_t capacity) {
  int directory = ::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return 0;
  // Raw directory records: no allocation, unlike opendir.
  struct Record {
    uint64_t inode;
    int64_t offset;
    unsigned short length;
    unsigned char type;
    char name[1];
  };
  alignas(8) char buffer[4096];
  size_t stored = 0;
  for (;;) {
    long got = ::syscall(SYS_getdents64, directory, buffer, sizeof buffer);
    if (got <= 0) break;
    for (long at = 0; at < got;) {
      const Record* record = reinterpret_cast<const Record*>(buffer + at);
      if (record->length == 0) break;
      at += record->length;
      const char* name = record->name;
      if (*name < '0' || *name > '9') continue;
      uint32_t id = 0;
      for (; *name >= '0' && *name <= '9'; ++name) id = id * 10 + static_cast<uint32_t>(*name - '0');
      if (stored < capacity) out[stored++] = id;
    }
  }
  ::close(directory);
  return stored;
}

}  // namespace Yr::Platform
