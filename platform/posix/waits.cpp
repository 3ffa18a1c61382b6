// Waits (WaitForSingleObject, WaitForMultipleObjects, SignalObjectAndWait),
// and where an event meets a device: the one place where a wait completes a
// device's pending read.
//
// A read that pends with an event names its device in the event (PendOnEvent,
// `KernelObject::source`). A wait for such an event asks the device what to
// poll (ObjectType::pollFor: its descriptor, and when a time-out falls due),
// sleeps in ppoll over it beside the wait's other events (waiters.cpp), and
// lets the device complete what it can (ObjectType::service), which sets the
// event: the thread that waits for a byte wakes once, for the byte, and
// nobody else does. The serial driver's side is serial/read_waits.cpp.
//
// A wait that only looks, as a port does after every byte, takes the table's
// lock once and no references (Look).
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
// device ready or a read's time-out, then completes what the devices allow.
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
  }
}

// With the lock held: lets the devices of PollDevices go.
void ReleaseDevices(KernelObject** devices, DWORD found) {
  for (DWORD j = 0; j < found; ++j) {
    if (!object_table::DropReference(devices[j])) continue;
    // Closed meanwhile: destroyed without the lock.
    pthread_mutex_unlock(&tableMutex);
    object_table::Destroy(devices[j]);
    pthread_mutex_lock(&tableMutex);
  }
}

// A wait that only looks (zero time-out, nothing to signal, not alertable)
// at objects none of which a device's pending read sets: one hold of the
// lock and no references, as a port does after every byte. WAIT_FAILED with
// nothing done (no last error) when it is not such a wait.
DWORD Look(DWORD count, const HANDLE* handles, bool all) {
  KernelObject* objects[MAXIMUM_WAIT_OBJECTS];
  object_table::Lock lock;
  for (DWORD i = 0; i < count; ++i) {
    objects[i] = object_table::FindAny(handles[i]);
    if (objects[i] == nullptr || objects[i]->source != nullptr) return WAIT_FAILED;
  }
  const int index = Satisfied(objects, count, all);
  if (index < 0) return WAIT_TIMEOUT;
  Consume(objects, count, all, index);
  return WAIT_OBJECT_0 + static_cast<DWORD>(index);
}

// A wait that may sleep or looks at devices, holding the objects by
// references once the lock is first let go. Kept out of line: its frame is
// large, and a look should not pay for it.
[[gnu::noinline]] DWORD WaitHolding(DWORD count, const HANDLE* handles, bool all,
                                    DWORD milliseconds, bool alertable, HANDLE toSignal) {
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
    ReleaseDevices(devices, found);
  }
  for (DWORD i = 0; i < count && held; ++i) last[i] = object_table::DropReference(objects[i]);
  pthread_mutex_unlock(&tableMutex);
  for (DWORD i = 0; i < count; ++i) {
    if (last[i]) object_table::Destroy(objects[i]);
  }
  if (result == WAIT_IO_COMPLETION) apc::RunQueued();
  return result;
}

// Every wait: on count objects (any or all), after signalling toSignal if
// given, alertable or not.
DWORD Wait(DWORD count, const HANDLE* handles, bool all, DWORD milliseconds, bool alertable,
           HANDLE toSignal) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  if (milliseconds == 0 && !alertable && toSignal == nullptr) {
    const DWORD looked = Look(count, handles, all);
    if (looked != WAIT_FAILED) return looked;
  }
  return WaitHolding(count, handles, all, milliseconds, alertable, toSignal);
}

}  // namespace

namespace object_table {

void PendOnEvent(HANDLE handle, KernelObject* device) {
  KernelObject* old = nullptr;
  bool last = false;
  {
    Lock lock;
    KernelObject* event = Find(handle, ObjectKind::kEvent);
    if (event == nullptr) return;
    SetState(event, false);
    if (event->source == device) return;
    old = event->source;
    AddReference(device);
    event->source = device;
    last = old != nullptr && DropReference(old);
  }
  if (last) Destroy(old);
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
