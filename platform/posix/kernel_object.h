// The object table behind HANDLEs, for the layer's own files and for the
// native COM device: one process-wide lock, the waiting threads, the live
// objects, and their references.
//
// A HANDLE is the address of a live KernelObject. CloseHandle takes it out of
// the table (from then on it names nothing) and drops its reference; the
// object itself goes with its last reference: a running thread, a wait and a
// device call each hold one while they need the object.
#pragma once

#include <poll.h>

#include "platform/posix/win32_api.h"

enum class ObjectKind { kEvent, kThread, kCommFile };

struct KernelObject;

// What the table does with an object of one kind beyond its signal state.
struct ObjectType {
  ObjectKind kind;
  // Called once as the handle is closed, without the table's lock; may be null.
  void (*closed)(KernelObject* object);
  // Frees the object; called once, with its last reference, without the lock.
  void (*destroy)(KernelObject* object);
  // Devices whose pending reads a waiting thread completes itself, or null.
  // PollFor: false when no read is pending; else the descriptor to poll and,
  // in `next`, when a read's time-out falls due. Service: completes what the
  // device allows. Both take the device's own lock, never the table's.
  bool (*pollFor)(KernelObject* device, pollfd* watch, uint64_t* next);
  void (*service)(KernelObject* device);
};

struct KernelObject {
  const ObjectType* type;
  int references;
  bool signalled;    // unless `descriptor` holds the state
  int descriptor;    // events: an eventfd that holds the state once one is asked for, or -1
  bool manualReset;  // events: a satisfied wait leaves a manual-reset event set
  // Events: the device whose pending read sets this event as it ends, held
  // by a reference; a wait for the event reads the device itself.
  KernelObject* source;
};

namespace object_table {

// The table's lock (objects.cpp), under which every object's state changes.
extern pthread_mutex_t tableMutex;

// Holds the table's lock.
class Lock {
 public:
  Lock();
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
};

// Time in milliseconds on the monotonic clock.
const uint64_t kNoDeadline = UINT64_MAX;
uint64_t NowMs();
// The deadline of a Win32 time-out (INFINITE: none).
uint64_t DeadlineAfter(DWORD milliseconds);

// With the lock held: an event's or a thread's state (that of an event with
// a descriptor is the descriptor's), and an event's change.
bool DescriptorSet(int descriptor);
inline bool IsSignalled(const KernelObject* object) {
  return object->descriptor >= 0 ? DescriptorSet(object->descriptor) : object->signalled;
}
void SetState(KernelObject* object, bool signalled);

// With the lock held: the calling thread's wake-up eventfd, made the first
// time it is asked for; -1 if none can be made.
int ThreadWake();

// With the lock held: wakes every waiter to look at the objects again.
void NotifyAll();
// With the lock held: wakes the waiters whose wait names this object.
void NotifyWaitersOf(KernelObject* object);
// With the lock held: waits until the deadline for a change to one of the
// objects (none given: until NotifyAll), or for one of the descriptors in
// `watch` to be ready (their revents filled in).
void WaitForChange(uint64_t deadlineMs, KernelObject* const* objects = nullptr, DWORD count = 0,
                   pollfd* watch = nullptr, DWORD watchCount = 0);

// Enters a new object with one reference, its handle's, and returns the
// handle; null when the table has no room left.
HANDLE Insert(KernelObject* object, const ObjectType* type);
// With the lock held: the live object that handle names, of that kind, or null.
KernelObject* Find(HANDLE handle, ObjectKind kind);
KernelObject* FindAny(HANDLE handle);
// The live object of that kind that handle names, with a reference taken; or
// null, with ERROR_INVALID_HANDLE as the last error.
KernelObject* Hold(HANDLE handle, ObjectKind kind);
// With the lock held: one more reference.
void AddReference(KernelObject* object);
// With the lock held: one reference less; true when it was the last, and the
// caller then calls Destroy once the lock is released.
bool DropReference(KernelObject* object);
void Destroy(KernelObject* object);
// Drops a reference, and destroys the object with the last one.
void Release(KernelObject* object);
// With the lock held: sets (waking its waiters) or resets the event that
// handle names; false when it names none.
bool SignalEvent(HANDLE handle, bool signalled);
// Sets the event, then drops a reference to the object, under one lock.
void SetEventAndRelease(HANDLE event, KernelObject* object);
// Resets the event of a read that pends, and names the device whose read
// sets it as it ends (called with the device's lock held; waits.cpp).
void PendOnEvent(HANDLE event, KernelObject* device);

}  // namespace object_table

// The calling thread's asynchronous procedure calls (threads.cpp), for the
// alertable waits (objects.cpp).
namespace apc {

// With the lock held: the calling thread has calls queued.
bool PendingLocked();
// Runs the calling thread's queued calls, oldest first, without the lock.
void RunQueued();

}  // namespace apc
