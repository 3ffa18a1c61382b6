// Threads, their suspension, priority and APCs, and the per-thread last error.
//
// A thread object holds one reference of its own while the thread runs; it
// becomes signalled as the thread ends, by returning or by ExitThread (which
// unwinds the thread's stack with pthread_exit). Whoever drops the object's
// last reference joins the thread; a thread whose handles are all closed
// before it ends detaches itself.
#include <errno.h>
#include <sys/resource.h>
#include <unistd.h>

#include <deque>
#include <new>

#include "platform/posix/kernel_object.h"

namespace {

struct Apc {
  PAPCFUNC function;
  ULONG_PTR data;
};

struct ThreadObject : KernelObject {
  LPTHREAD_START_ROUTINE entry;
  LPVOID parameter;
  pthread_t thread;
  pid_t threadId;  // the kernel's id, known once the thread runs
  int suspendCount;
  int baseNice;  // the creator's nice value, which the thread started with
  bool ended;
  bool detached;  // nobody joins it
  std::deque<Apc> apcs;
};

thread_local ThreadObject* currentThread = nullptr;
thread_local DWORD lastError = 0;

void DestroyThread(KernelObject* object) {
  ThreadObject* thread = static_cast<ThreadObject*>(object);
  if (!thread->detached) pthread_join(thread->thread, nullptr);
  delete thread;
}

const ObjectType kThreadType = {ObjectKind::kThread, nullptr, DestroyThread, nullptr, nullptr};

// Marks the end of the thread, whether its entry returns or it unwinds.
class ThreadEnd {
 public:
  explicit ThreadEnd(ThreadObject* thread) : thread_(thread) {}
  ~ThreadEnd() {
    bool last = false;
    {
      object_table::Lock lock;
      thread_->ended = true;
      thread_->signalled = true;
      thread_->apcs.clear();
      object_table::NotifyAll();
      last = object_table::DropReference(thread_);
      if (last) {
        thread_->detached = true;
        pthread_detach(pthread_self());
      }
    }
    currentThread = nullptr;
    if (last) object_table::Destroy(thread_);
  }
  ThreadEnd(const ThreadEnd&) = delete;
  ThreadEnd& operator=(const ThreadEnd&) = delete;

 private:
  ThreadObject* thread_;
};

void* ThreadMain(void* argument) {
  ThreadObject* thread = static_cast<ThreadObject*>(argument);
  currentThread = thread;
  {
    object_table::Lock lock;
    thread->threadId = gettid();
    object_table::NotifyAll();
    while (thread->suspendCount > 0) object_table::WaitForChange(object_table::kNoDeadline);
  }
  ThreadEnd end(thread);
  thread->entry(thread->parameter);
  return nullptr;
}

bool IsPriority(int priority) {
  return priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL ||
         (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST);
}

// Five nice steps per Win32 priority step, within the range nice allows.
int NiceFor(int baseNice, int priority) {
  const int nice = baseNice - 5 * priority;
  return nice < -20 ? -20 : nice > 19 ? 19 : nice;
}

ThreadObject* FindThread(HANDLE handle) {
  return static_cast<ThreadObject*>(object_table::Find(handle, ObjectKind::kThread));
}

}  // namespace

namespace apc {

bool PendingLocked() { return currentThread != nullptr && !currentThread->apcs.empty(); }

void RunQueued() {
  for (;;) {
    Apc call = {};
    {
      object_table::Lock lock;
      if (!PendingLocked()) return;
      call = currentThread->apcs.front();
      currentThread->apcs.pop_front();
    }
    call.function(call.data);
  }
}

}  // namespace apc

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE entry,
                           LPVOID parameter, DWORD flags, LPDWORD threadId) {
  ThreadObject* thread = new (std::nothrow) ThreadObject();
  if (thread == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  thread->entry = entry;
  thread->parameter = parameter;
  thread->suspendCount = (flags & CREATE_SUSPENDED) ? 1 : 0;
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, 0);
  thread->baseNice = errno == 0 ? nice : 0;
  HANDLE handle = object_table::Insert(thread, &kThreadType);
  if (handle == nullptr) {
    delete thread;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }

  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  const SIZE_T minimumStack = static_cast<SIZE_T>(PTHREAD_STACK_MIN);
  if (stackSize != 0) {
    pthread_attr_setstacksize(&attributes, stackSize < minimumStack ? minimumStack : stackSize);
  }
  {
    // The thread's own reference, taken before it can run.
    object_table::Lock lock;
    object_table::AddReference(thread);
  }
  const int error = pthread_create(&thread->thread, &attributes, ThreadMain, thread);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    {
      object_table::Lock lock;
      thread->detached = true;
      object_table::DropReference(thread);
    }
    CloseHandle(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  object_table::Lock lock;
  while (thread->threadId == 0) object_table::WaitForChange(object_table::kNoDeadline);
  if (threadId != nullptr) *threadId = static_cast<DWORD>(thread->threadId);
  return handle;
}

BOOL WINAPI SetThreadPriority(HANDLE handle, int priority) {
  if (!IsPriority(priority)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  object_table::Lock lock;
  ThreadObject* thread = FindThread(handle);
  if (thread == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Best effort: raising a thread above its process needs a privilege that a
  // program rarely has, and the thread works the same without it.
  if (!thread->ended) {
    setpriority(PRIO_PROCESS, static_cast<id_t>(thread->threadId),
                NiceFor(thread->baseNice, priority));
  }
  return TRUE;
}

DWORD WINAPI ResumeThread(HANDLE handle) {
  object_table::Lock lock;
  ThreadObject* thread = FindThread(handle);
  if (thread == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0xFFFFFFFF;
  }
  const int previous = thread->suspendCount;
  if (thread->suspendCount > 0 && --thread->suspendCount == 0) object_table::NotifyAll();
  return static_cast<DWORD>(previous);
}

void WINAPI ExitThread(DWORD) { pthread_exit(nullptr); }

DWORD WINAPI QueueUserAPC(PAPCFUNC function, HANDLE handle, ULONG_PTR data) {
  object_table::Lock lock;
  ThreadObject* thread = FindThread(handle);
  if (thread == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (thread->ended || function == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  thread->apcs.push_back(Apc{function, data});
  object_table::NotifyAll();
  return 1;
}

DWORD WINAPI GetLastError(void) { return lastError; }

void WINAPI SetLastError(DWORD error) { lastError = error; }

}  // extern "C"
