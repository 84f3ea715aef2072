#include "system/platform/child_platform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace Yr::Platform {
namespace {

constexpr int kFirstFreeDescriptor = STDERR_FILENO + 1;
constexpr int kExecFailedStatus = 127;
// Where the system cannot close a range at once, descriptors are closed one by one up to the
// limit, but never more than this many.
constexpr int kMostDescriptorsClosedOneByOne = 65536;

// Closes every descriptor from first on. System calls only.
void CloseDescriptorsFrom(int first) {
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, first, ~0u, 0) == 0) return;
#endif
  struct rlimit limit;
  int highest = kMostDescriptorsClosedOneByOne;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < static_cast<rlim_t>(highest))
    highest = static_cast<int>(limit.rlim_cur);
  for (int descriptor = first; descriptor < highest; ++descriptor) ::close(descriptor);
}

// The child runs on a stack of its own until it has become the program: it shares the
// parent's memory, and the parent may be on any stack (the crash path's own one, which
// sanitizers' vfork wrappers do not expect).
constexpr size_t kChildStackSize = 64 * 1024;
alignas(16) unsigned char gChildStack[kChildStackSize];

struct ChildWork {
  const char* program;
  char* const* arguments;
  int end;
  volatile int failure;  // written by the child before it ends, read by the parent after
};

__attribute__((no_sanitize("address"))) int RunChild(void* argument) {
  // Only system calls from here on: this is the parent's memory.
  ChildWork& work = *static_cast<ChildWork*>(argument);
  int end = work.end;
  if (end < kFirstFreeDescriptor) end = ::fcntl(end, F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
  if (end < 0 || ::dup2(end, STDIN_FILENO) < 0 || ::dup2(end, STDOUT_FILENO) < 0) {
    work.failure = errno ? errno : EBADF;
    ::_exit(kExecFailedStatus);
  }
  // Nothing else of the parent's goes along: a parent at its descriptor limit would leave
  // the program's loader no descriptor to open its libraries with.
  CloseDescriptorsFrom(kFirstFreeDescriptor);
  ::execve(work.program, work.arguments, environ);
  work.failure = errno ? errno : ENOEXEC;
  ::_exit(kExecFailedStatus);
}

}  // namespace

bool StartHelper(const char* program, char* const* arguments, HelperProcess& out) {
  out = {0, -1};
  if (!program || !*program) return false;
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
  // The child shares this process's memory until it runs the program: no signal handler of
  // the parent may run in it meanwhile. The helper unblocks them (BecomeHelper).
  sigset_t all, previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  // The parent waits until the child runs the program or ends (CLONE_VFORK).
  ChildWork work = {program, arguments, ends[1], 0};
  pid_t child = ::clone(&RunChild, gChildStack + kChildStackSize, CLONE_VM | CLONE_VFORK | SIGCHLD, &work);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ::close(ends[1]);
  if (child < 0 || work.failure != 0) {
    if (child > 0) {
      while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    ::close(ends[0]);
    return false;
  }
  // Where the system lets only ancestors read a process's memory, the helper (a child) needs
  // leave; without such a restriction this fails harmlessly.
  ::prctl(PR_SET_PTRACER, static_cast<unsigned long>(child), 0, 0, 0);
  out = {child, ends[0]};
  return true;
}

bool SendToHelper(const HelperProcess& helper, const void* bytes, size_t count) {
  if (helper.process <= 0) return false;
  const char* cursor = static_cast<const char*>(bytes);
  while (count > 0) {
    ssize_t sent = ::send(helper.channel, cursor, count, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    cursor += sent;
    count -= static_cast<size_t>(sent);
  }
  return true;
}

bool ReceiveFromHelper(const HelperProcess& helper, void* bytes, size_t count, uint64_t deadline) {
  if (helper.process <= 0) return false;
  char* cursor = static_cast<char*>(bytes);
  while (count > 0) {
    uint64_t now = MonotonicMilliseconds();
    if (now >= deadline) return false;
    struct pollfd wait = {helper.channel, POLLIN, 0};
    int ready = ::poll(&wait, 1, static_cast<int>(deadline - now));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t got = ::recv(helper.channel, cursor, count, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return false;
    cursor += got;
    count -= static_cast<size_t>(got);
  }
  return true;
}

void StopHelper(HelperProcess& helper) {
  if (helper.channel >= 0) ::close(helper.channel);
  if (helper.process > 0) {
    ::kill(helper.process, SIGKILL);
    while (::waitpid(helper.process, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  helper = {0, -1};
}

uint64_t MonotonicMilliseconds() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

ptrdiff_t ReadFromCaller(void* buffer, size_t capacity) {
  for (;;) {
    ssize_t got = ::read(STDIN_FILENO, buffer, capacity);
    if (got >= 0 || errno != EINTR) return got;
  }
}

bool WriteToCaller(const void* bytes, size_t count) {
  const char* cursor = static_cast<const char*>(bytes);
  while (count > 0) {
    ssize_t sent = ::write(STDOUT_FILENO, cursor, count);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    cursor += sent;
    count -= static_cast<size_t>(sent);
  }
  return true;
}

void BecomeHelper() {
  CloseDescriptorsFrom(kFirstFreeDescriptor);
  sigset_t none;
  ::sigemptyset(&none);
  ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
}

}  // namespace Yr::Platform
