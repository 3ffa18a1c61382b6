// The waiting threads: each sleeps on its own condition, listed with the
// objects it waits for, so that setting an event wakes only the threads
// waiting for that event (a port's I/O sets one per byte, and its watcher
// must sleep through them); thread starts, ends and queued calls wake every
// waiter to look again. A thread that waits for an event with a descriptor,
// or for a device, sleeps in ppoll over those descriptors and an eventfd of
// its own (thread_wake.cpp), which then stands in for its condition.
#include <poll.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "platform/posix/kernel_object.h"

namespace {

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
