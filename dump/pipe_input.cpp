// Keys from a pipe or a file: each byte is a key. A pipe can neither be
// peeked nor waited on under Wine, so a reader thread started by ConOpen
// reads ahead into a buffer of its own, and the key calls take from there.
//
// Win32 used here: CreateThread, CreateEventA, SetEvent, ResetEvent,
// WaitForSingleObject, Sleep, CloseHandle, ReadFile, GetModuleHandleExA,
// InitializeCriticalSection, EnterCriticalSection, LeaveCriticalSection.
#include "dump/console_state.h"

namespace {

class Lock {
 public:
  explicit Lock(PipeInput& pipe) : pipe_(pipe) { EnterCriticalSection(&pipe_.lock); }
  ~Lock() { LeaveCriticalSection(&pipe_.lock); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  PipeInput& pipe_;
};

class UniqueHandle {
 public:
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// With the lock held: the events follow the buffer.
void UpdateEvents(PipeInput& pipe) {
  if (pipe.count > 0 || pipe.ended) {
    SetEvent(pipe.ready);
  } else {
    ResetEvent(pipe.ready);
  }
  if (pipe.count < kPipeBufferSize) {
    SetEvent(pipe.room);
  } else {
    ResetEvent(pipe.room);
  }
}

unsigned char TakeByte(PipeInput& pipe) {
  const unsigned char byte = pipe.bytes[pipe.head];
  pipe.head = (pipe.head + 1) % kPipeBufferSize;
  --pipe.count;
  return byte;
}

struct ReaderStart {
  PipeInput* pipe;
  HANDLE started;
};

DWORD WINAPI ReadAhead(LPVOID parameter) {
  ReaderStart* start = static_cast<ReaderStart*>(parameter);
  PipeInput& pipe = *start->pipe;
  SetEvent(start->started);  // `start` is gone after this
  for (;;) {
    WaitForSingleObject(pipe.room, INFINITE);
    size_t tail;
    size_t room;
    {
      Lock lock(pipe);
      tail = (pipe.head + pipe.count) % kPipeBufferSize;
      room = kPipeBufferSize - pipe.count;
    }
    // Only this thread adds bytes, so the room found stays free while it
    // reads into it without the lock.
    DWORD want = static_cast<DWORD>(room < kPipeBufferSize - tail ? room : kPipeBufferSize - tail);
    if (want > 4096) want = 4096;
    DWORD got = 0;
    const BOOL ok = ReadFile(pipe.source, pipe.bytes + tail, want, &got, nullptr);
    if (!ok || got == 0) break;
    Lock lock(pipe);
    pipe.count += got;
    UpdateEvents(pipe);
  }
  {
    Lock lock(pipe);
    pipe.ended = true;
    UpdateEvents(pipe);
  }
  // The end of input ends the process soon (ConGetKey, ConReadLine). Under
  // Wine a thread that ends while its process exits can get the process
  // killed (status SIGKILL instead of its exit code), so this one stays.
  for (;;) Sleep(INFINITE);
}

}  // namespace

void OpenPipeInput(ConsoleState& state) {
  PipeInput& pipe = state.pipe;
  InitializeCriticalSection(&pipe.lock);
  pipe.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  pipe.room = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  UniqueHandle started(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  ReaderStart start = {&pipe, started.get()};
  HMODULE self;
  // The thread runs this library's code to the end of the process: keep the
  // library loaded even if its user frees it.
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCSTR>(&ReadAhead), &self);
  UniqueHandle thread(pipe.source != nullptr && pipe.ready != nullptr && pipe.room != nullptr &&
                              started.get() != nullptr
                          ? CreateThread(nullptr, 0, ReadAhead, &start, 0, nullptr)
                          : nullptr);
  if (thread.get() == nullptr) {
    Lock lock(pipe);
    pipe.ended = true;
    if (pipe.ready != nullptr) SetEvent(pipe.ready);
    return;
  }
  // A process must not end before a thread it created has started (Wine).
  WaitForSingleObject(started.get(), INFINITE);
}

bool PipeKeyWaiting(ConsoleState& state) {
  Lock lock(state.pipe);
  state.pipe.keyShown = state.pipe.count > 0;
  return state.pipe.count > 0 || state.pipe.ended;
}

bool PipeTakeKey(ConsoleState& state, unsigned char* key) {
  PipeInput& pipe = state.pipe;
  for (;;) {
    WaitForSingleObject(pipe.ready, INFINITE);
    Lock lock(pipe);
    pipe.keyShown = false;
    if (pipe.count > 0) {
      *key = TakeByte(pipe);
      UpdateEvents(pipe);
      return true;
    }
    if (pipe.ended) return false;
  }
}

InputLine PipeReadLine(ConsoleState& state, char* line, size_t capacity) {
  PipeInput& pipe = state.pipe;
  InputLine result = {false, 0, false};
  bool any = false;
  for (;;) {
    WaitForSingleObject(pipe.ready, INFINITE);
    Lock lock(pipe);
    pipe.keyShown = false;
    if (pipe.count == 0 && pipe.ended) {
      result.ended = !any;  // a last line without LF is still a line
      return result;
    }
    while (pipe.count > 0) {
      any = true;
      const char byte = static_cast<char>(TakeByte(pipe));
      if (byte == '\n') {
        UpdateEvents(pipe);
        return result;
      }
      if (byte == '\r') continue;
      if (result.length < capacity) {
        line[result.length++] = byte;
      } else {
        result.cut = true;
      }
    }
    UpdateEvents(pipe);
  }
}

// Bytes from a pipe or a file are scripted, never stray: only the key that
// ConKeyPressed reported and nobody took (the one that stopped a loop) goes,
// with its line end when it stands alone on its line.
void PipeFlushKeys(ConsoleState& state) {
  PipeInput& pipe = state.pipe;
  Lock lock(pipe);
  if (pipe.keyShown && pipe.count > 0 && TakeByte(pipe) != '\n') {
    // A key alone on its line takes its line end with it.
    const unsigned char next = pipe.count > 0 ? pipe.bytes[pipe.head] : 0;
    const unsigned char after = pipe.count > 1 ? pipe.bytes[(pipe.head + 1) % kPipeBufferSize] : 0;
    if (next == '\n') TakeByte(pipe);
    if (next == '\r' && after == '\n') {
      TakeByte(pipe);
      TakeByte(pipe);
    }
  }
  pipe.keyShown = false;
  UpdateEvents(pipe);
}
