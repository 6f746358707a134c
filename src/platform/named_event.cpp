#include "platform/named_event.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/object_name.h"
#include "platform/platform_root.h"
#include "platform/unique_fd.h"

namespace zuntar {

struct NamedEventShared {
  std::atomic<uint32_t> magic;
  std::atomic<uint32_t> generation;  // the futex word
};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the futex word must be a plain 32-bit word");

namespace {

constexpr uint32_t kMagic = 0x5A4E4576;

std::string ErrorText(const std::string& what, const std::string& name, int err) {
  return what + " \"" + name + "\": " + std::strerror(err);
}

uint32_t* FutexWord(NamedEventShared* s) { return reinterpret_cast<uint32_t*>(&s->generation); }

// Shared (not private) futex calls: waiters in other processes map the
// same page and are found through it.
long FutexWake(uint32_t* word) { return syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0); }

long FutexWaitUntil(uint32_t* word, uint32_t expected, const timespec* deadline) {
  return syscall(SYS_futex, word, FUTEX_WAIT_BITSET, expected, deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

timespec DeadlineAfter(std::chrono::milliseconds timeout) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const int64_t ms = timeout.count() < 0 ? 0 : timeout.count();
  const int64_t nsec = now.tv_nsec + (ms % 1000) * 1000000;
  timespec deadline{};
  deadline.tv_sec = now.tv_sec + static_cast<time_t>(ms / 1000 + nsec / 1000000000);
  deadline.tv_nsec = static_cast<long>(nsec % 1000000000);
  return deadline;
}

}  // namespace

std::string NamedEventShmName(const std::string& name) {
  std::string prefix = "/zuntar";
  const std::string root = PlatformRoot();
  if (!root.empty()) {
    char tag[24];
    std::snprintf(tag, sizeof tag, "-%016llx", static_cast<unsigned long long>(Fnv1a(root)));
    prefix += tag;
  }
  std::string_view rest = name;
  // Not "u" + to_string(...): GCC 12 warns falsely (-Wrestrict) on that.
  std::string scope = std::to_string(geteuid());
  scope.insert(scope.begin(), 'u');
  const size_t slash = rest.find('\\');
  if (slash != std::string_view::npos) {
    const std::string_view ns = rest.substr(0, slash);
    // The processes that may share a task database all run as one user
    // (no group shares the files), so a "global" event is the user's own.
    if (ns.size() == 6 && strncasecmp(ns.data(), "Global", 6) == 0) scope.insert(0, "global-");
    rest.remove_prefix(slash + 1);
  }
  return prefix + "." + scope + "." + EscapeObjectName(rest);
}

NamedEvent::NamedEvent(const std::string& name) {
  const std::string shm_name = NamedEventShmName(name);
  UniqueFd fd(shm_open(shm_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.valid()) throw ENamedEventError(ErrorText("Cannot open the event", name, errno));
  // The first opener sizes and initialises the object while holding an
  // exclusive lock on it; later openers wait for that lock, so nobody ever
  // sees a half-built event.
  while (flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) throw ENamedEventError(ErrorText("Cannot lock the event", name, errno));
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) throw ENamedEventError(ErrorText("Cannot open the event", name, errno));
  // /dev/shm is open to every user: an object someone else made first
  // under this name is not ours to map.
  if (st.st_uid != geteuid())
    throw ENamedEventError("Cannot open the event \"" + name + "\": it belongs to user " + std::to_string(st.st_uid));
  if (static_cast<size_t>(st.st_size) < sizeof(NamedEventShared) && ftruncate(fd.get(), sizeof(NamedEventShared)) != 0)
    throw ENamedEventError(ErrorText("Cannot create the event", name, errno));
  void* p = mmap(nullptr, sizeof(NamedEventShared), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (p == MAP_FAILED) throw ENamedEventError(ErrorText("Cannot map the event", name, errno));
  // A fresh object is all zeros, which is already a valid generation; the
  // magic number only marks that the object is ours.
  shared_ = static_cast<NamedEventShared*>(p);
  if (shared_->magic.load() != kMagic) {
    shared_->generation.store(0);
    shared_->magic.store(kMagic);
  }
  flock(fd.get(), LOCK_UN);
}

NamedEvent::~NamedEvent() {
  if (shared_ != nullptr) munmap(shared_, sizeof(NamedEventShared));
}

void NamedEvent::Pulse() {
  shared_->generation.fetch_add(1);
  FutexWake(FutexWord(shared_));
}

bool NamedEvent::Wait(std::chrono::milliseconds timeout) { return WaitSince(Generation(), timeout); }

uint32_t NamedEvent::Generation() const { return shared_->generation.load(); }

bool NamedEvent::WaitSince(uint32_t start, std::chrono::milliseconds timeout) {
  const bool forever = timeout == kInfinite;
  const timespec deadline = forever ? timespec{} : DeadlineAfter(timeout);
  while (shared_->generation.load() == start) {
    // Returns at once when the word has changed since it was read above
    // (EAGAIN), so a pulse between the check and the call is not missed.
    if (FutexWaitUntil(FutexWord(shared_), start, forever ? nullptr : &deadline) != 0 && errno == ETIMEDOUT)
      break;
  }
  return shared_->generation.load() != start;
}

void NamedEvent::Remove(const std::string& name) { shm_unlink(NamedEventShmName(name).c_str()); }

}  // namespace zuntar
