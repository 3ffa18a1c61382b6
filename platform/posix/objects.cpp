// The object table, events and waits.
//
// One lock serves every object. Each waiting thread sleeps on its own
// condition, listed with the objects it waits for: setting an event wakes
// only the threads waiting for that event (a port's I/O sets one per byte,
// and its watcher must sleep through them); thread starts, ends and queued
// calls wake every waiter to look again.
//
// An event whose descriptor was asked for (EventDescriptor) keeps its state
// in an eventfd, which anyone may write to set it. A wait that names such an
// event sleeps in ppoll over those descriptors and an eventfd of its own
// thread, which then stands in for its condition.
#include <poll.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "platform/posix/event_descriptor.h"

#include "platform/posix/kernel_object.h"

namespace {

// Statically initialised and never destroyed: threads may still wait at exit.
pthread_mutex_t tableMutex = PTHREAD_MUTEX_INITIALIZER;
KernelObject* firstLive = nullptr;

// A thread in a wait: what it waits for (none: any change), its condition,
// and, while it sleeps in ppoll, the eventfd that wakes it.
struct Waiter {
  pthread_cond_t changed;
  KernelObject* const* objects;
  DWORD count;
  Waiter* next;
  int wake;      // the thread's wake-up eventfd while it polls
  bool polling;  // asleep in ppoll rather than on its condition
};
Waiter* firstWaiter = nullptr;
thread_local Waiter self = {PTHREAD_COND_INITIALIZER, nullptr, 0, nullptr, -1, false};

// The thread's wake-up eventfd, made the first time it polls and closed as
// the thread ends, by a thread key's destructor: a thread_local with a
// destructor would keep the library from ever being unloaded.
thread_local int wakeDescriptor = -1;
pthread_key_t wakeKey;
pthread_once_t wakeKeyOnce = PTHREAD_ONCE_INIT;
bool wakeKeyMade = false;

void CloseWake(void* value) { close(static_cast<int>(reinterpret_cast<intptr_t>(value)) - 1); }
void MakeWakeKey() { wakeKeyMade = pthread_key_create(&wakeKey, CloseWake) == 0; }

// Unloaded, the library takes its key back: no ending thread calls into it.
struct WakeKeyRelease {
  ~WakeKeyRelease() {
    if (wakeKeyMade) pthread_key_delete(wakeKey);
  }
} wakeKeyRelease;

int ThreadWake() {
  if (wakeDescriptor < 0) {
    wakeDescriptor = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    pthread_once(&wakeKeyOnce, MakeWakeKey);
    if (wakeDescriptor >= 0 && wakeKeyMade)
      pthread_setspecific(wakeKey,
                          reinterpret_cast<void*>(static_cast<intptr_t>(wakeDescriptor) + 1));
  }
  return wakeDescriptor;
}

struct EventObject : KernelObject {};

void DestroyEvent(KernelObject* object) {
  if (object->descriptor >= 0) close(object->descriptor);
  delete static_cast<EventObject*>(object);
}

const ObjectType kEventType = {ObjectKind::kEvent, nullptr, DestroyEvent};

bool Readable(int descriptor) {
  struct pollfd ready = {descriptor, POLLIN, 0};
  return poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0;
}

bool IsSignalled(const KernelObject* object) {
  return object->descriptor >= 0 ? Readable(object->descriptor) : object->signalled;
}

void SetState(KernelObject* object, bool signalled) {
  if (object->descriptor < 0) {
    object->signalled = signalled;
  } else if (signalled) {
    eventfd_write(object->descriptor, 1);
  } else {
    eventfd_t value;
    eventfd_read(object->descriptor, &value);  // non-blocking: empties it, if set
  }
}

// The index of the object that satisfies the wait, or -1: the lowest
// signalled one, or 0 when all are signalled and all were asked for.
int Satisfied(KernelObject* const* objects, DWORD count, bool all) {
  for (DWORD i = 0; i < count; ++i) {
    if (!all && IsSignalled(objects[i])) return static_cast<int>(i);
    if (all && !IsSignalled(objects[i])) return -1;
  }
  return all ? 0 : -1;
}

// A satisfied wait takes the signal of the auto-reset events it was satisfied by.
void Consume(KernelObject* const* objects, DWORD count, bool all, int index) {
  for (DWORD i = 0; i < count; ++i) {
    if (!all && static_cast<int>(i) != index) continue;
    KernelObject* object = objects[i];
    if (object->type->kind == ObjectKind::kEvent && !object->manualReset) SetState(object, false);
  }
}

void Wake(Waiter* waiter) {
  if (waiter->polling) {
    eventfd_write(waiter->wake, 1);
  } else {
    pthread_cond_signal(&waiter->changed);
  }
}

// With the lock held: sleeps in ppoll over the events' descriptors and the
// thread's own wake-up until one is readable or the deadline passes; the
// lock is let go meanwhile.
void PollForChange(uint64_t deadlineMs, KernelObject* const* objects, DWORD count) {
  struct pollfd ready[MAXIMUM_WAIT_OBJECTS + 1];
  nfds_t used = 0;
  ready[used++] = {self.wake, POLLIN, 0};
  for (DWORD i = 0; i < count; ++i) {
    if (objects[i]->descriptor >= 0) ready[used++] = {objects[i]->descriptor, POLLIN, 0};
  }
  self.polling = true;
  pthread_mutex_unlock(&tableMutex);
  timespec left = {};
  const uint64_t now = object_table::NowMs();
  if (deadlineMs != object_table::kNoDeadline) {
    const uint64_t ms = deadlineMs > now ? deadlineMs - now : 0;
    left.tv_sec = static_cast<time_t>(ms / 1000);
    left.tv_nsec = static_cast<long>(ms % 1000) * 1000000;
  }
  ppoll(ready, used, deadlineMs == object_table::kNoDeadline ? nullptr : &left, nullptr);
  pthread_mutex_lock(&tableMutex);
  self.polling = false;
  eventfd_t value;
  eventfd_read(self.wake, &value);
}

// Every wait: on count objects (any or all), after signalling toSignal if
// given, alertable or not.
DWORD Wait(DWORD count, const HANDLE* handles, bool all, DWORD milliseconds, bool alertable,
           HANDLE toSignal) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  KernelObject* objects[MAXIMUM_WAIT_OBJECTS];
  bool last[MAXIMUM_WAIT_OBJECTS] = {};
  DWORD result = WAIT_TIMEOUT;
  {
    object_table::Lock lock;
    KernelObject* signal = nullptr;
    bool valid = true;
    if (toSignal != nullptr) {
      signal = object_table::Find(toSignal, ObjectKind::kEvent);
      valid = signal != nullptr;
    }
    for (DWORD i = 0; i < count && valid; ++i) {
      objects[i] = object_table::FindAny(handles[i]);
      valid = objects[i] != nullptr;
    }
    if (!valid) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    for (DWORD i = 0; i < count; ++i) object_table::AddReference(objects[i]);
    if (signal != nullptr) {
      SetState(signal, true);
      object_table::NotifyWaitersOf(signal);
    }
    const uint64_t deadline = object_table::DeadlineAfter(milliseconds);
    for (;;) {
      if (alertable && apc::PendingLocked()) {
        result = WAIT_IO_COMPLETION;
        break;
      }
      const int index = Satisfied(objects, count, all);
      if (index >= 0) {
        Consume(objects, count, all, index);
        result = WAIT_OBJECT_0 + static_cast<DWORD>(index);
        break;
      }
      if (object_table::NowMs() >= deadline) break;
      object_table::WaitForChange(deadline, objects, count);
    }
    for (DWORD i = 0; i < count; ++i) last[i] = object_table::DropReference(objects[i]);
  }
  for (DWORD i = 0; i < count; ++i) {
    if (last[i]) object_table::Destroy(objects[i]);
  }
  if (result == WAIT_IO_COMPLETION) apc::RunQueued();
  return result;
}

BOOL SetSignal(HANDLE handle, bool signalled) {
  object_table::Lock lock;
  KernelObject* event = object_table::Find(handle, ObjectKind::kEvent);
  if (event == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  SetState(event, signalled);
  if (signalled) object_table::NotifyWaitersOf(event);
  return TRUE;
}

}  // namespace

int EventDescriptor(HANDLE handle) {
  object_table::Lock lock;
  KernelObject* event = object_table::Find(handle, ObjectKind::kEvent);
  if (event == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  if (event->descriptor < 0) {
    const int descriptor = eventfd(event->signalled ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (descriptor < 0) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return -1;
    }
    event->descriptor = descriptor;
    // Those waiting already look again, at the descriptor from now on.
    object_table::NotifyWaitersOf(event);
  }
  return event->descriptor;
}

namespace object_table {

Lock::Lock() { pthread_mutex_lock(&tableMutex); }
Lock::~Lock() { pthread_mutex_unlock(&tableMutex); }

uint64_t NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

// One millisecond more than asked: the clock is read in whole milliseconds, and
// a time-out must never end early. A zero time-out only looks.
uint64_t DeadlineAfter(DWORD milliseconds) {
  if (milliseconds == INFINITE) return kNoDeadline;
  return milliseconds == 0 ? NowMs() : NowMs() + milliseconds + 1;
}

void NotifyAll() {
  for (Waiter* waiter = firstWaiter; waiter != nullptr; waiter = waiter->next) Wake(waiter);
}

void NotifyWaitersOf(KernelObject* object) {
  for (Waiter* waiter = firstWaiter; waiter != nullptr; waiter = waiter->next) {
    for (DWORD i = 0; i < waiter->count; ++i) {
      if (waiter->objects[i] == object) {
        Wake(waiter);
        break;
      }
    }
  }
}

void WaitForChange(uint64_t deadlineMs, KernelObject* const* objects, DWORD count) {
  self.objects = objects;
  self.count = count;
  self.next = firstWaiter;
  firstWaiter = &self;
  bool poll = false;
  for (DWORD i = 0; i < count; ++i) poll = poll || objects[i]->descriptor >= 0;
  self.wake = poll ? ThreadWake() : -1;
  if (poll && self.wake >= 0) {
    PollForChange(deadlineMs, objects, count);
  } else if (deadlineMs == kNoDeadline) {
    pthread_cond_wait(&self.changed, &tableMutex);
  } else {
    timespec until;
    until.tv_sec = static_cast<time_t>(deadlineMs / 1000);
    until.tv_nsec = static_cast<long>(deadlineMs % 1000) * 1000000;
    pthread_cond_clockwait(&self.changed, &tableMutex, CLOCK_MONOTONIC, &until);
  }
  Waiter** link = &firstWaiter;
  while (*link != &self) link = &(*link)->next;
  *link = self.next;
}

HANDLE Insert(KernelObject* object, const ObjectType* type) {
  Lock lock;
  object->type = type;
  object->references = 1;
  object->descriptor = -1;
  object->live = true;
  object->previous = nullptr;
  object->next = firstLive;
  if (firstLive != nullptr) firstLive->previous = object;
  firstLive = object;
  return object;
}

KernelObject* FindAny(HANDLE handle) {
  for (KernelObject* object = firstLive; object != nullptr; object = object->next) {
    if (object == handle) return object;
  }
  return nullptr;
}

KernelObject* Find(HANDLE handle, ObjectKind kind) {
  KernelObject* object = FindAny(handle);
  return object != nullptr && object->type->kind == kind ? object : nullptr;
}

KernelObject* Hold(HANDLE handle, ObjectKind kind) {
  Lock lock;
  KernelObject* object = Find(handle, kind);
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  AddReference(object);
  return object;
}

void AddReference(KernelObject* object) { ++object->references; }

bool DropReference(KernelObject* object) { return --object->references == 0; }

void Destroy(KernelObject* object) { object->type->destroy(object); }

void Release(KernelObject* object) {
  bool last = false;
  {
    Lock lock;
    last = DropReference(object);
  }
  if (last) Destroy(object);
}

}  // namespace object_table

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                           LPCSTR name) {
  // Named events would be shared between processes; none are needed.
  if (name != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  EventObject* event = new (std::nothrow) EventObject();
  if (event == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  event->manualReset = manualReset != FALSE;
  event->signalled = initialState != FALSE;
  return object_table::Insert(event, &kEventType);
}

BOOL WINAPI SetEvent(HANDLE event) { return SetSignal(event, true); }

BOOL WINAPI ResetEvent(HANDLE event) { return SetSignal(event, false); }

BOOL WINAPI CloseHandle(HANDLE handle) {
  KernelObject* object = nullptr;
  {
    object_table::Lock lock;
    object = object_table::FindAny(handle);
    if (object == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    object->live = false;
    if (object->previous != nullptr) object->previous->next = object->next;
    if (object->next != nullptr) object->next->previous = object->previous;
    if (firstLive == object) firstLive = object->next;
    object->previous = nullptr;
    object->next = nullptr;
  }
  if (object->type->closed != nullptr) object->type->closed(object);
  object_table::Release(object);
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  return Wait(1, &object, false, milliseconds, false, nullptr);
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll,
                                    DWORD milliseconds) {
  return Wait(count, objects, waitAll != FALSE, milliseconds, false, nullptr);
}

DWORD WINAPI SignalObjectAndWait(HANDLE toSignal, HANDLE toWaitOn, DWORD milliseconds,
                                 BOOL alertable) {
  if (toSignal == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return Wait(1, &toWaitOn, false, milliseconds, alertable != FALSE, toSignal);
}

}  // extern "C"
