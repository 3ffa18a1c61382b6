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

// The live objects: an open-addressed set of their addresses (linear
// probing), at most half full, so that checking a handle takes about one look.
KernelObject** liveSlots = nullptr;
size_t slotCount = 0;  // a power of two
size_t liveCount = 0;

size_t SlotOf(const void* address) {
  const uint64_t hash = (reinterpret_cast<uintptr_t>(address) >> 4) * 0x9E3779B97F4A7C15ull;
  return static_cast<size_t>(hash >> 32) & (slotCount - 1);
}

void Place(KernelObject* object) {
  size_t i = SlotOf(object);
  while (liveSlots[i] != nullptr) i = (i + 1) & (slotCount - 1);
  liveSlots[i] = object;
}

bool Grow(size_t count) {
  KernelObject** slots = new (std::nothrow) KernelObject*[count]();
  if (slots == nullptr) return false;
  KernelObject** old = liveSlots;
  const size_t oldCount = slotCount;
  liveSlots = slots;
  slotCount = count;
  for (size_t i = 0; i < oldCount; ++i) {
    if (old[i] != nullptr) Place(old[i]);
  }
  delete[] old;
  return true;
}

// The slot of a live object, or slotCount.
size_t SlotHolding(const void* handle) {
  if (slotCount == 0) return 0;
  for (size_t i = SlotOf(handle);; i = (i + 1) & (slotCount - 1)) {
    if (liveSlots[i] == handle) return i;
    if (liveSlots[i] == nullptr) return slotCount;
  }
}

// Empties a slot, moving back the objects after it that probed past it. The
// set's memory goes with its last object: an unloaded library leaves none.
void Remove(size_t hole) {
  liveSlots[hole] = nullptr;
  if (--liveCount == 0) {
    delete[] liveSlots;
    liveSlots = nullptr;
    slotCount = 0;
    return;
  }
  for (size_t i = (hole + 1) & (slotCount - 1); liveSlots[i] != nullptr;
       i = (i + 1) & (slotCount - 1)) {
    const size_t home = SlotOf(liveSlots[i]);
    // Stays only if its home lies cyclically in (hole, i].
    const bool stays = hole < i ? home > hole && home <= i : home > hole || home <= i;
    if (stays) continue;
    liveSlots[hole] = liveSlots[i];
    liveSlots[i] = nullptr;
    hole = i;
  }
}

struct EventObject : KernelObject {};

void DestroyEvent(KernelObject* object) {
  if (object->descriptor >= 0) close(object->descriptor);
  if (object->source != nullptr) object_table::Release(object->source);
  delete static_cast<EventObject*>(object);
}

const ObjectType kEventType = {ObjectKind::kEvent, nullptr, DestroyEvent, nullptr, nullptr};

}  // namespace

namespace object_table {

bool DescriptorSet(int descriptor) {
  struct pollfd ready = {descriptor, POLLIN, 0};
  return poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0;
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
  if (object_table::SignalEvent(handle, signalled)) return TRUE;
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
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
  if ((liveCount + 1) * 2 > slotCount && !Grow(slotCount == 0 ? 64 : slotCount * 2) &&
      liveCount + 1 >= slotCount)
    return nullptr;
  object->type = type;
  object->references = 1;
  object->descriptor = -1;
  object->source = nullptr;
  Place(object);
  ++liveCount;
  return object;
}

KernelObject* FindAny(HANDLE handle) {
  const size_t slot = SlotHolding(handle);
  return slot < slotCount ? liveSlots[slot] : nullptr;
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

bool SignalEvent(HANDLE handle, bool signalled) {
  KernelObject* event = Find(handle, ObjectKind::kEvent);
  if (event == nullptr) return false;
  SetState(event, signalled);
  if (signalled) NotifyWaitersOf(event);
  return true;
}

void SetEventAndRelease(HANDLE handle, KernelObject* object) {
  bool last = false;
  {
    Lock lock;
    SignalEvent(handle, true);
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
  HANDLE handle = object_table::Insert(event, &kEventType);
  if (handle == nullptr) {
    delete event;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  return handle;
}

BOOL WINAPI SetEvent(HANDLE event) { return SetSignal(event, true); }

BOOL WINAPI ResetEvent(HANDLE event) { return SetSignal(event, false); }

BOOL WINAPI CloseHandle(HANDLE handle) {
  KernelObject* object = nullptr;
  {
    object_table::Lock lock;
    const size_t slot = SlotHolding(handle);
    if (slot == slotCount) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    object = liveSlots[slot];
    Remove(slot);
  }
  if (object->type->closed != nullptr) object->type->closed(object);
  object_table::Release(object);
  return TRUE;
}

}  // extern "C"
