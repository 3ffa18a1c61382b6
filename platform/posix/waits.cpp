// Waits: WaitForSingleObject, WaitForMultipleObjects, SignalObjectAndWait.
//
// Each waiting thread sleeps on its own condition, listed with the objects it
// waits for: setting an event wakes only the threads waiting for that event
// (a port's I/O sets one per byte, and its watcher must sleep through them);
// thread starts, ends and queued calls wake every waiter to look again.
//
// A wait that names an event with a descriptor sleeps in ppoll over those
// descriptors and an eventfd of its own thread, which then stands in for its
// condition. A wait for the event of a device's pending read polls the
// device as well, and completes the read itself when the device is ready:
// the thread that waits for a byte wakes once, for the byte, and nobody else
// does.
#include <poll.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "platform/posix/kernel_object.h"

namespace {

using object_table::IsSignalled;
using object_table::SetState;
using object_table::tableMutex;

// How often a wait that cannot poll looks again.
const uint64_t kNoWakeRetryMs = 5;

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

// With the lock held: sleeps in ppoll over the events' descriptors, those in
// `watch` and the thread's own wake-up until one is ready or the deadline
// passes; the lock is let go meanwhile.
void PollForChange(uint64_t deadlineMs, KernelObject* const* objects, DWORD count, pollfd* watch,
                   DWORD watchCount) {
  struct pollfd ready[2 * MAXIMUM_WAIT_OBJECTS + 1];
  nfds_t used = 0;
  ready[used++] = {self.wake, POLLIN, 0};
  for (DWORD i = 0; i < watchCount; ++i) ready[used++] = watch[i];
  for (DWORD i = 0; i < count; ++i) {
    if (objects[i]->descriptor >= 0) ready[used++] = {objects[i]->descriptor, POLLIN, 0};
  }
  self.polling = true;
  pthread_mutex_unlock(&tableMutex);
  timespec left = {};
  if (deadlineMs != object_table::kNoDeadline) {
    const uint64_t now = object_table::NowMs();
    const uint64_t ms = deadlineMs > now ? deadlineMs - now : 0;
    left.tv_sec = static_cast<time_t>(ms / 1000);
    left.tv_nsec = static_cast<long>(ms % 1000) * 1000000;
  }
  if (ppoll(ready, used, deadlineMs == object_table::kNoDeadline ? nullptr : &left, nullptr) < 0)
    ready[0].revents = POLLIN;  // interrupted: look at the wake-up anyway
  pthread_mutex_lock(&tableMutex);
  self.polling = false;
  for (DWORD i = 0; i < watchCount; ++i) watch[i].revents = ready[1 + i].revents;
  eventfd_t value;
  if (ready[0].revents != 0) eventfd_read(self.wake, &value);
}

// With the lock held: the devices whose pending reads end by setting one of
// the objects, each once and with a reference taken.
DWORD SourcesOf(KernelObject* const* objects, DWORD count, KernelObject** devices) {
  DWORD found = 0;
  for (DWORD i = 0; i < count; ++i) {
    KernelObject* source = objects[i]->source;
    if (source == nullptr || source->type->pollFor == nullptr) continue;
    bool seen = false;
    for (DWORD j = 0; j < found && !seen; ++j) seen = devices[j] == source;
    if (seen) continue;
    object_table::AddReference(source);
    devices[found++] = source;
  }
  return found;
}

// Without the lock: sleeps (unless `late`) until a change to the objects, a
// device ready or a read's time-out, then completes what the devices allow
// and lets them go.
void PollDevices(KernelObject* const* objects, DWORD count, bool all, bool alertable,
                 uint64_t deadline, bool late, KernelObject** devices, DWORD found) {
  pollfd watch[MAXIMUM_WAIT_OBJECTS];
  uint64_t due[MAXIMUM_WAIT_OBJECTS];
  uint64_t until = deadline;
  for (DWORD j = 0; j < found; ++j) {
    due[j] = object_table::kNoDeadline;
    if (!devices[j]->type->pollFor(devices[j], &watch[j], &due[j])) watch[j] = {-1, 0, 0};
    if (due[j] < until) until = due[j];
  }
  if (!late) {
    pthread_mutex_lock(&tableMutex);
    // Looked at again under the lock: what was set meanwhile wakes no one now.
    if (Satisfied(objects, count, all) < 0 && !(alertable && apc::PendingLocked()))
      object_table::WaitForChange(until, objects, count, watch, found);
    pthread_mutex_unlock(&tableMutex);
  }
  const uint64_t now = until != object_table::kNoDeadline ? object_table::NowMs() : 0;
  for (DWORD j = 0; j < found; ++j) {
    if (late || (watch[j].fd >= 0 && watch[j].revents != 0) || now >= due[j])
      devices[j]->type->service(devices[j]);
    object_table::Release(devices[j]);
  }
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
  pthread_mutex_lock(&tableMutex);
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
    pthread_mutex_unlock(&tableMutex);
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  // The objects are held by references once the lock is first let go: a
  // wait that only looks never lets it go.
  bool held = false;
  auto hold = [&] {
    if (held) return;
    for (DWORD i = 0; i < count; ++i) object_table::AddReference(objects[i]);
    held = true;
  };
  if (signal != nullptr) {
    SetState(signal, true);
    object_table::NotifyWaitersOf(signal);
  }
  // A zero time-out only looks, without reading the clock.
  const uint64_t deadline = milliseconds == 0 ? 0 : object_table::DeadlineAfter(milliseconds);
  bool looked = false;  // the devices of pending reads have been read from
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
    const bool late = deadline == 0 ||
                      (deadline != object_table::kNoDeadline && object_table::NowMs() >= deadline);
    if (late && looked) break;
    KernelObject* devices[MAXIMUM_WAIT_OBJECTS];
    const DWORD found = SourcesOf(objects, count, devices);
    if (found == 0) {
      if (late) break;
      hold();
      object_table::WaitForChange(deadline, objects, count);
      continue;
    }
    hold();
    pthread_mutex_unlock(&tableMutex);
    PollDevices(objects, count, all, alertable, deadline, late, devices, found);
    looked = true;
    pthread_mutex_lock(&tableMutex);
  }
  for (DWORD i = 0; i < count && held; ++i) last[i] = object_table::DropReference(objects[i]);
  pthread_mutex_unlock(&tableMutex);
  for (DWORD i = 0; i < count; ++i) {
    if (last[i]) object_table::Destroy(objects[i]);
  }
  if (result == WAIT_IO_COMPLETION) apc::RunQueued();
  return result;
}

}  // namespace

namespace object_table {

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

void WaitForChange(uint64_t deadlineMs, KernelObject* const* objects, DWORD count, pollfd* watch,
                   DWORD watchCount) {
  self.objects = objects;
  self.count = count;
  self.next = firstWaiter;
  firstWaiter = &self;
  bool poll = watchCount > 0;
  for (DWORD i = 0; i < count; ++i) poll = poll || objects[i]->descriptor >= 0;
  self.wake = poll ? object_table::ThreadWake() : -1;
  if (poll && self.wake < 0) {
    // No descriptor to be woken by (none left to make): the devices and
    // events are looked at again every few milliseconds instead.
    deadlineMs = std::min(deadlineMs, NowMs() + kNoWakeRetryMs);
    for (DWORD i = 0; i < watchCount; ++i) watch[i].revents = watch[i].events;
  }
  if (poll && self.wake >= 0) {
    PollForChange(deadlineMs, objects, count, watch, watchCount);
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

}  // namespace object_table

extern "C" {

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
