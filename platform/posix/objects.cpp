// The object table and events.
//
// One lock serves every object; a HANDLE is the address of a live object.
// An event whose descriptor was asked for (EventDescriptor) keeps its state
// in an eventfd, which anyone may write to set it.
#include <poll.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "platform/posix/event_descriptor.h"

#include "platform/posix/kernel_object.h"

namespace object_table {

// Statically initialised and never destroyed: threads may still wait at exit.
pthread_mutex_t tableMutex = PTHREAD_MUTEX_INITIALIZER;

}  // namespace object_table

namespace {

KernelObject* firstLive = nullptr;

struct EventObject : KernelObject {};

void DestroyEvent(KernelObject* object) {
  if (object->descriptor >= 0) close(object->descriptor);
  if (object->source != nullptr) object_table::Release(object->source);
  delete static_cast<EventObject*>(object);
}

const ObjectType kEventType = {ObjectKind::kEvent, nullptr, DestroyEvent, nullptr, nullptr};

bool Readable(int descriptor) {
  struct pollfd ready = {descriptor, POLLIN, 0};
  return poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0;
}

}  // namespace

namespace object_table {

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

}  // namespace object_table

namespace {

using object_table::SetState;

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

HANDLE Insert(KernelObject* object, const ObjectType* type) {
  Lock lock;
  object->type = type;
  object->references = 1;
  object->descriptor = -1;
  object->source = nullptr;
  object->live = true;
  object->previous = nullptr;
  object->next = firstLive;
  if (firstLive != nullptr) firstLive->previous = object;
  firstLive = object;
  return object;
}

// The object found moves to the list's front: a port's I/O looks up the
// same few handles for every byte.
KernelObject* FindAny(HANDLE handle) {
  KernelObject* object = firstLive;
  while (object != nullptr && object != handle) object = object->next;
  if (object == nullptr || object == firstLive) return object;
  object->previous->next = object->next;
  if (object->next != nullptr) object->next->previous = object->previous;
  object->previous = nullptr;
  object->next = firstLive;
  firstLive->previous = object;
  firstLive = object;
  return object;
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

void SetEventAndRelease(HANDLE handle, KernelObject* object) {
  bool last = false;
  {
    Lock lock;
    KernelObject* event = Find(handle, ObjectKind::kEvent);
    if (event != nullptr) {
      SetState(event, true);
      NotifyWaitersOf(event);
    }
    last = DropReference(object);
  }
  if (last) Destroy(object);
}

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

}  // extern "C"
