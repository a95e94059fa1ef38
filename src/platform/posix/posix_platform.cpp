// The process side of the POSIX platform, and the system platform itself.
#include "platform/posix/posix_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <ctime>

#include "platform/system.h"
#include "support/utf.h"
#include "support/version.h"

#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace quorrex {
namespace {

// Each folder on the current descent stays open while the walk is below it;
// a deep tree needs more descriptors than the customary soft limit of 1024.
void RaiseOpenFileLimit() {
#if defined(__APPLE__) && defined(OPEN_MAX)
  constexpr rlim_t kWanted = OPEN_MAX;  // the most setrlimit accepts there
#else
  constexpr rlim_t kWanted = 65536;
#endif
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= kWanted) return;
  const rlim_t raised =
      limit.rlim_max == RLIM_INFINITY ? kWanted : std::min(kWanted, limit.rlim_max);
  if (raised <= limit.rlim_cur) return;
  limit.rlim_cur = raised;
  setrlimit(RLIMIT_NOFILE, &limit);
}

// Threads of the walk need little stack and little heap of their own. The
// defaults (8 MiB of stack, and with glibc a 64 MiB heap arena for each
// thread that allocates) multiply the address space by the thread count, so
// that a run under a limit on it (`ulimit -v`) would end for want of memory
// with more threads where one thread finishes.
// A stack limit raised far past the customary 8 MiB is taken as the user's
// wish for large thread stacks, and left alone.
// Sanitizer builds keep the defaults: their frames are several times larger.
void KeepThreadsSmall() {
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // A second arena reserves 64 MiB of address space. Under a limit on the
  // address space that reservation may fail, and then every allocation of a
  // thread without an arena becomes a mapping of its own: there, every
  // thread shares the one arena.
  struct rlimit space;
  const bool spaceLimited = getrlimit(RLIMIT_AS, &space) == 0 && space.rlim_cur != RLIM_INFINITY;
  mallopt(M_ARENA_MAX, spaceLimited ? 1 : 2);
  struct rlimit stack;
  if (getrlimit(RLIMIT_STACK, &stack) == 0 && stack.rlim_cur != RLIM_INFINITY &&
      stack.rlim_cur > (rlim_t{64} << 20)) {
    return;
  }
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) == 0) {
    if (pthread_attr_setstacksize(&attributes, 512 * 1024) == 0) {
      pthread_setattr_default_np(&attributes);
    }
    pthread_attr_destroy(&attributes);
  }
#endif
}

// Descriptors the process has open now; a guess where the system does not
// list them.
uint32_t OpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) dir = opendir("/dev/fd");
  if (dir == nullptr) return 8;
  uint32_t count = 0;
  while (const struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count > 0 ? count - 1 : 0;  // not the listing's own
}

}  // namespace

uint32_t PosixPlatform::FolderHandleBudget() {
  // Room for what the platform opens besides folders: a long path opened a
  // folder at a time (two at once), the mount table, a reserved stream.
  constexpr uint32_t kMargin = 6;
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1u << 16;
  const auto soft = static_cast<uint64_t>(std::min<rlim_t>(limit.rlim_cur, rlim_t{1} << 20));
  const uint64_t taken = uint64_t{OpenDescriptors()} + kMargin;
  return soft > taken + 2 ? static_cast<uint32_t>(soft - taken) : 2;
}

uint64_t PosixPlatform::AddressSpaceLeft() {
  constexpr uint64_t kUnlimited = ~uint64_t{0};
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnlimited;
  const auto allowed = static_cast<uint64_t>(limit.rlim_cur);
  // The mapped size, as the system counts it against the limit; where it
  // cannot be read, nothing is taken to be left, and no thread is started.
  uint64_t pages = 0;
  FILE* statm = std::fopen("/proc/self/statm", "re");
  if (statm == nullptr) return 0;
  const bool read = std::fscanf(statm, "%" SCNu64, &pages) == 1;
  std::fclose(statm);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (!read || pageSize <= 0) return 0;
  const uint64_t used = pages * static_cast<uint64_t>(pageSize);
  return used < allowed ? allowed - used : 0;
}

PosixPlatform::PosixPlatform() {
  KeepThreadsSmall();
  // A closed pipe on standard output makes the write fail instead of ending
  // the process.
  signal(SIGPIPE, SIG_IGN);
  // A standard stream the program was started without keeps its number
  // taken (by /dev/null, read-only), so that no folder opened later takes it:
  // output to a closed standard output then fails as it should, and never
  // goes to a folder's descriptor.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int reserved = open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (reserved >= 0 && reserved != fd) {
        dup2(reserved, fd);
        close(reserved);
      }
    }
  }
  RaiseOpenFileLimit();
}

std::u16string PosixPlatform::OwnFilePath() {
#ifdef __APPLE__
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::string path(size, '\0');
  if (_NSGetExecutablePath(path.data(), &size) != 0) return {};
  path.resize(std::char_traits<char>::length(path.c_str()));
  return DecodeUtf8Lossless(path);
#else
  std::string path(PATH_MAX, '\0');
  for (;;) {
    const ssize_t got = readlink("/proc/self/exe", path.data(), path.size());
    if (got < 0) return {};
    if (static_cast<size_t>(got) < path.size()) {
      path.resize(static_cast<size_t>(got));
      return DecodeUtf8Lossless(path);
    }
    path.resize(path.size() * 2);
  }
#endif
}

bool PosixPlatform::ReadFileVersion(const std::u16string&, uint32_t& fileVersionMS) {
  // The version is compiled in: a POSIX program file carries no version resource.
  fileVersionMS = (static_cast<uint32_t>(QUORREX_VERSION_MAJOR) << 16) |
                  static_cast<uint32_t>(QUORREX_VERSION_MINOR);
  return true;
}

void PosixPlatform::Sleep(uint32_t milliseconds) {
  struct timespec left;
  left.tv_sec = static_cast<time_t>(milliseconds / 1000);
  left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void PosixPlatform::Beep(uint32_t, uint32_t milliseconds) {
  // No tone on a terminal: the same wait, in silence.
  Sleep(milliseconds);
}

bool PosixPlatform::OpenProcessToken(Handle& token) {
  // No privilege is needed to read a symbolic link: the privilege step is a no-op.
  token = 1;
  return true;
}

bool PosixPlatform::LookupPrivilegeValue(const char16_t*, Luid& luid) {
  luid = Luid{};
  return true;
}

uint32_t PosixPlatform::AdjustTokenPrivileges(Handle, const TokenPrivileges&, uint32_t,
                                              TokenPrivileges*, uint32_t* returnLength) {
  if (returnLength != nullptr) *returnLength = 0;
  return 0;
}

std::unique_ptr<Platform> CreateSystemPlatform() {
  return std::make_unique<PosixPlatform>();
}

}  // namespace quorrex
