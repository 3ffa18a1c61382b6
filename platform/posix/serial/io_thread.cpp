// The I/O thread of an open device: it sleeps on the device (edge-triggered)
// and a wake-up counter, and completes pending operations and comm-event
// waits, and time-outs. A line that reports its own changes is read here
// whenever it has input, and sends from here what it held back.
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>

#include "platform/posix/serial/comm_file.h"

namespace serial {

namespace {

// With the mutex held: how long the I/O thread may sleep, in ms (-1: until woken).
int PollTimeout(const CommFile& file) {
  uint64_t next = object_table::kNoDeadline;
  for (const Transfer& read : file.reads) next = std::min(next, NextDue(read));
  for (const Transfer& write : file.writes) next = std::min(next, NextDue(write));
  int timeout = -1;
  if (next != object_table::kNoDeadline) {
    const uint64_t now = object_table::NowMs();
    timeout = next <= now ? 0 : next - now > 60000 ? 60000 : static_cast<int>(next - now);
  }
  if (Monitoring(file) && (timeout < 0 || timeout > kLinePollMs)) timeout = kLinePollMs;
  return timeout;
}

}  // namespace

void* IoThreadMain(void* argument) {
  CommFile& file = *static_cast<CommFile*>(argument);
  Guard lock(file.mutex);
  while (!file.closing) {
    // Input is watched only for reads that nobody waits for through an
    // event (always on a line that reports its changes), output space only
    // while writes wait for it; a hang-up always.
    const bool input = file.reports || ReadsForThread(file);
    const bool output = !file.writes.empty() || (file.reports && file.line->Unsent());
    const uint32_t wanted =
        EPOLLET | (input ? uint32_t{EPOLLIN} : 0u) | (output ? uint32_t{EPOLLOUT} : 0u);
    if (!file.hungUp && wanted != file.watched) {
      epoll_event device = {wanted, {}};
      device.data.fd = file.fd;
      if (epoll_ctl(file.poller, EPOLL_CTL_MOD, file.fd, &device) == 0) file.watched = wanted;
    }
    const int timeout = PollTimeout(file);
    lock.unlock();
    epoll_event ready[2];
    const int count = epoll_wait(file.poller, ready, 2, timeout);
    bool hangUp = false;
    for (int i = 0; i < count; ++i) {
      if (ready[i].data.fd == file.wake) {
        uint64_t wakes = 0;
        if (read(file.wake, &wakes, sizeof wakes) < 0) {
          // Another look at the state costs nothing: it is taken below anyway.
        }
      } else if (ready[i].events & (EPOLLHUP | EPOLLERR)) {
        hangUp = true;
      }
    }
    lock.lock();
    if (file.closing) break;
    if (file.reports) {
      file.line->SendUnsent();
      TakeInput(file);
      hangUp = hangUp || file.line->Gone();
    }
    if (hangUp && !file.hungUp) {
      file.hungUp = true;
      epoll_ctl(file.poller, EPOLL_CTL_DEL, file.fd, nullptr);
    }
    ServiceTransfers(file);
    Watch(file);
    FailWaitOfHungUpDevice(file);
  }
  return nullptr;
}

}  // namespace serial
