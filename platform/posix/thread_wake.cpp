// Each waiting thread's wake-up eventfd, for the waits that poll.
#include <sys/eventfd.h>
#include <unistd.h>

#include <new>

#include "platform/posix/kernel_object.h"

using object_table::tableMutex;

namespace {

// The thread's wake-up eventfd, made the first time it polls. Each is listed,
// so that unloading the library closes those of the threads that outlive it,
// and is closed as its thread ends by a thread key's destructor: a
// thread_local with a destructor would keep the library from ever being
// unloaded.
struct WakeDescriptor {
  int descriptor;
  WakeDescriptor* next;
};
WakeDescriptor* firstWake = nullptr;
thread_local int wakeDescriptor = -1;
pthread_key_t wakeKey;
pthread_once_t wakeKeyOnce = PTHREAD_ONCE_INIT;
bool wakeKeyMade = false;

void CloseWake(void* value) {
  WakeDescriptor* wake = static_cast<WakeDescriptor*>(value);
  pthread_mutex_lock(&tableMutex);
  WakeDescriptor** link = &firstWake;
  while (*link != nullptr && *link != wake) link = &(*link)->next;
  if (*link == wake) *link = wake->next;
  pthread_mutex_unlock(&tableMutex);
  close(wake->descriptor);
  delete wake;
}

void MakeWakeKey() { wakeKeyMade = pthread_key_create(&wakeKey, CloseWake) == 0; }

// Unloaded, the library takes its key back, so that no ending thread calls
// into it, and closes the descriptors still open.
struct WakeKeyRelease {
  ~WakeKeyRelease() {
    if (wakeKeyMade) pthread_key_delete(wakeKey);
    while (firstWake != nullptr) {
      WakeDescriptor* wake = firstWake;
      firstWake = wake->next;
      close(wake->descriptor);
      delete wake;
    }
  }
} wakeKeyRelease;

}  // namespace

namespace object_table {

int ThreadWake() {
  if (wakeDescriptor >= 0) return wakeDescriptor;
  pthread_once(&wakeKeyOnce, MakeWakeKey);
  WakeDescriptor* wake = new (std::nothrow) WakeDescriptor{-1, nullptr};
  if (wake == nullptr || !wakeKeyMade) {
    delete wake;
    return -1;
  }
  wake->descriptor = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake->descriptor < 0 || pthread_setspecific(wakeKey, wake) != 0) {
    if (wake->descriptor >= 0) close(wake->descriptor);
    delete wake;
    return -1;
  }
  // With the table's lock held: every caller is in a wait.
  wake->next = firstWake;
  firstWake = wake;
  wakeDescriptor = wake->descriptor;
  return wakeDescriptor;
}

}  // namespace object_table
