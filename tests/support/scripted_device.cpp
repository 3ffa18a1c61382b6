// The scripted device and its binding of the port seam.
#include "tests/support/scripted_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "serchan32/comm_device.h"

namespace {

ScriptedDevice* current = nullptr;
thread_local DWORD lastError = 0;

BOOL Failed(DWORD error) {
  lastError = error;
  return FALSE;
}

std::string Line(const std::string& name, DWORD argument) {
  char text[24];
  std::snprintf(text, sizeof text, " %lu", static_cast<unsigned long>(argument));
  return name + text;
}

}  // namespace

const HANDLE ScriptedDevice::kHandle = reinterpret_cast<HANDLE>(0x7E57);

ScriptedDevice::ScriptedDevice() : driverDcb_(), lastDcb_(), lastTimeouts_() {
  driverDcb_.DCBlength = sizeof(DCB);
  driverDcb_.BaudRate = 1200;
  driverDcb_.ByteSize = 7;
  driverDcb_.fTXContinueOnXoff = 1;
  driverDcb_.fAbortOnError = 1;
  driverDcb_.XonChar = 0x11;
  driverDcb_.XoffChar = 0x13;
  modemStatus_ = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
  current = this;
}

ScriptedDevice::~ScriptedDevice() {
  if (current == this) current = nullptr;
}

bool ScriptedDevice::ResumeWillFail() {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = failures_.find(Call::ResumeThread);
  return found != failures_.end() && found->second.times != 0 && found->second.after == 0;
}

ScriptedDevice* ScriptedDevice::Current() { return current; }

void ScriptedDevice::Fail(Call call, DWORD error, int times, int after) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_[call] = Failure{error, times, after};
}

bool ScriptedDevice::ShouldFail(Call call, DWORD& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = failures_.find(call);
  if (found == failures_.end() || found->second.times == 0) return false;
  if (found->second.after > 0) {
    --found->second.after;
    return false;
  }
  if (found->second.times > 0) --found->second.times;
  error = found->second.error;
  return true;
}

void ScriptedDevice::Record(const std::string& name, DWORD argument) {
  std::lock_guard<std::mutex> lock(mutex_);
  log_.push_back(Line(name, argument));
}

std::vector<std::string> ScriptedDevice::Log() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

std::vector<DWORD> ScriptedDevice::Arguments(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<DWORD> arguments;
  for (const std::string& line : log_) {
    if (line.compare(0, name.size() + 1, name + " ") == 0) {
      arguments.push_back(std::stoul(line.substr(name.size() + 1)));
    }
  }
  return arguments;
}

int ScriptedDevice::Count(const std::string& name) const {
  return static_cast<int>(Arguments(name).size());
}

void ScriptedDevice::RecordApiError(const char* api, const char* port, DWORD code) {
  std::lock_guard<std::mutex> lock(mutex_);
  apiErrors_.push_back(ApiErrorReport{api, port, code});
}

std::vector<ApiErrorReport> ScriptedDevice::ApiErrors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return apiErrors_;
}

void ScriptedDevice::RecordCloseReport(const char* text) {
  std::lock_guard<std::mutex> lock(mutex_);
  closeReports_.push_back(text);
}

std::vector<std::string> ScriptedDevice::CloseReports() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closeReports_;
}

DCB ScriptedDevice::LastDcb() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastDcb_;
}

COMMTIMEOUTS ScriptedDevice::LastTimeouts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastTimeouts_;
}

std::string ScriptedDevice::OpenedPath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return openedPath_;
}

void ScriptedDevice::OpenPath(const char* path) {
  std::lock_guard<std::mutex> lock(mutex_);
  openedPath_ = path;
}

void ScriptedDevice::SetDriverDcb(const DCB& dcb) {
  std::lock_guard<std::mutex> lock(mutex_);
  driverDcb_ = dcb;
}

void ScriptedDevice::SetModemStatus(DWORD status) {
  std::lock_guard<std::mutex> lock(mutex_);
  modemStatus_ = status;
}

void ScriptedDevice::QueueLineErrors(DWORD errors) {
  std::lock_guard<std::mutex> lock(mutex_);
  lineErrors_.push_back(errors);
}

void ScriptedDevice::SetInQueue(DWORD bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  inQueue_ = bytes;
}

BOOL ScriptedDevice::GetCommState(LPDCB dcb) {
  std::lock_guard<std::mutex> lock(mutex_);
  *dcb = driverDcb_;
  return TRUE;
}

BOOL ScriptedDevice::SetCommState(LPDCB dcb) {
  std::lock_guard<std::mutex> lock(mutex_);
  lastDcb_ = *dcb;
  return TRUE;
}

BOOL ScriptedDevice::SetCommTimeouts(LPCOMMTIMEOUTS timeouts) {
  std::lock_guard<std::mutex> lock(mutex_);
  lastTimeouts_ = *timeouts;
  return TRUE;
}

BOOL ScriptedDevice::ClearCommError(LPDWORD errors, LPCOMSTAT stat) {
  std::lock_guard<std::mutex> lock(mutex_);
  *errors = 0;
  if (!lineErrors_.empty()) {
    *errors = lineErrors_.front();
    lineErrors_.pop_front();
  }
  if (stat != nullptr) {
    *stat = COMSTAT();
    stat->cbInQue = inQueue_;
  }
  return TRUE;
}

BOOL ScriptedDevice::GetCommModemStatus(LPDWORD status) {
  std::lock_guard<std::mutex> lock(mutex_);
  *status = modemStatus_;
  return TRUE;
}

// Comm-event waits.

void ScriptedDevice::QueueImmediateEvent(DWORD mask) {
  std::lock_guard<std::mutex> lock(mutex_);
  immediateEvents_.push_back(mask);
}

void ScriptedDevice::SetMaskChangeAborts(bool aborts) {
  std::lock_guard<std::mutex> lock(mutex_);
  maskChangeAborts_ = aborts;
}

void ScriptedDevice::SetMaskChangeLeavesWaitPending(bool leaves) {
  std::lock_guard<std::mutex> lock(mutex_);
  maskChangeLeavesWait_ = leaves;
}

BOOL ScriptedDevice::WaitCommEvent(LPDWORD mask, LPOVERLAPPED overlapped) {
  std::lock_guard<std::mutex> lock(mutex_);
  ResetEvent(overlapped->hEvent);
  waitOverlapped_ = overlapped;
  if (!immediateEvents_.empty()) {
    *mask = immediateEvents_.front();
    immediateEvents_.pop_front();
    waitOp_ = Op::kDone;
    return TRUE;
  }
  waitMask_ = mask;
  waitOp_ = Op::kPending;
  waitEndDue_ = false;
  return Failed(ERROR_IO_PENDING);
}

bool ScriptedDevice::WaitUntilEventPending(DWORD timeoutMs) {
  return WaitUntil(
      [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        return waitOp_ == Op::kPending;
      },
      timeoutMs);
}

void ScriptedDevice::FireCommEvent(DWORD mask) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (waitOp_ != Op::kPending) return;
  *waitMask_ = mask;
  waitOp_ = Op::kDone;
  SetEvent(waitOverlapped_->hEvent);
}

BOOL ScriptedDevice::SetCommMask(DWORD /*mask*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (waitOp_ == Op::kPending && maskChangeLeavesWait_) {
    waitEndDue_ = true;
  } else if (waitOp_ == Op::kPending) {
    if (maskChangeAborts_) {
      waitOp_ = Op::kAborted;
    } else {
      *waitMask_ = 0;
      waitOp_ = Op::kDone;
    }
    SetEvent(waitOverlapped_->hEvent);
  }
  return TRUE;
}

// Reads.

void ScriptedDevice::Deliver(const std::vector<BYTE>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  rx_.insert(rx_.end(), bytes.begin(), bytes.end());
  CompleteReadLocked();
}

void ScriptedDevice::SetReadsCompleteAtOnce(bool atOnce) {
  std::lock_guard<std::mutex> lock(mutex_);
  readsAtOnce_ = atOnce;
}

void ScriptedDevice::SetPurgeEndsReads(bool ends) {
  std::lock_guard<std::mutex> lock(mutex_);
  purgeEndsReads_ = ends;
}

bool ScriptedDevice::ReadPending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return readOp_ == Op::kPending;
}

bool ScriptedDevice::WaitUntilReadPending(DWORD timeoutMs) {
  return WaitUntil([this] { return ReadPending(); }, timeoutMs);
}

int ScriptedDevice::OverlappingReads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return overlappingReads_;
}

void ScriptedDevice::CompleteReadLocked() {
  if (readOp_ != Op::kPending || rx_.empty()) return;
  *readBuffer_ = rx_.front();
  rx_.pop_front();
  readOp_ = Op::kDone;
  SetEvent(readOverlapped_->hEvent);
}

void ScriptedDevice::EndReadLocked() {
  if (readOp_ != Op::kPending) return;
  readOp_ = Op::kAborted;
  SetEvent(readOverlapped_->hEvent);
}

BOOL ScriptedDevice::ReadFile(LPVOID buffer, LPDWORD done, LPOVERLAPPED overlapped) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (readOp_ == Op::kPending) ++overlappingReads_;
  ResetEvent(overlapped->hEvent);
  readBuffer_ = static_cast<BYTE*>(buffer);
  readOverlapped_ = overlapped;
  if (readsAtOnce_ && !rx_.empty()) {
    *readBuffer_ = rx_.front();
    rx_.pop_front();
    readOp_ = Op::kDone;
    if (done != nullptr) *done = 1;
    SetEvent(overlapped->hEvent);
    return TRUE;
  }
  readOp_ = Op::kPending;
  CompleteReadLocked();
  return Failed(ERROR_IO_PENDING);
}

BOOL ScriptedDevice::PurgeComm(DWORD flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  if ((flags & PURGE_RXABORT) && purgeEndsReads_) EndReadLocked();
  if (flags & PURGE_RXCLEAR) rx_.clear();
  return TRUE;
}

void ScriptedDevice::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  EndReadLocked();
  if (waitOp_ == Op::kPending) {
    waitOp_ = Op::kAborted;
    waitMask_ = nullptr;
    SetEvent(waitOverlapped_->hEvent);
  }
}

BOOL ScriptedDevice::CancelIoEx(LPOVERLAPPED overlapped) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (overlapped == readOverlapped_ && readOp_ == Op::kPending) {
    EndReadLocked();
    return TRUE;
  }
  if (overlapped == waitOverlapped_ && waitOp_ == Op::kPending && !maskChangeLeavesWait_) {
    waitOp_ = Op::kAborted;
    SetEvent(waitOverlapped_->hEvent);
    return TRUE;
  }
  return Failed(ERROR_NOT_FOUND);
}

// Writes.

void ScriptedDevice::SetWritePieces(const std::vector<DWORD>& pieces) {
  std::lock_guard<std::mutex> lock(mutex_);
  writePieces_ = pieces;
}

std::vector<BYTE> ScriptedDevice::Written() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return written_;
}

BOOL ScriptedDevice::WriteFile(LPCVOID buffer, DWORD length, LPDWORD done,
                               LPOVERLAPPED overlapped) {
  std::lock_guard<std::mutex> lock(mutex_);
  const BYTE* bytes = static_cast<const BYTE*>(buffer);
  written_.insert(written_.end(), bytes, bytes + length);
  ResetEvent(overlapped->hEvent);
  writeOverlapped_ = overlapped;
  writeLength_ = length;
  if (writePieces_.empty()) {
    if (done != nullptr) *done = length;
    SetEvent(overlapped->hEvent);
    return TRUE;
  }
  nextPiece_ = 0;
  return Failed(ERROR_IO_PENDING);
}

BOOL ScriptedDevice::GetOverlappedResult(LPOVERLAPPED overlapped, LPDWORD done, BOOL wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  *done = 0;
  if (overlapped == writeOverlapped_ && !writePieces_.empty()) {
    if (nextPiece_ >= writePieces_.size()) return Failed(ERROR_INVALID_PARAMETER);
    *done = writePieces_[nextPiece_++];
    if (nextPiece_ < writePieces_.size()) return Failed(ERROR_IO_INCOMPLETE);
    return TRUE;
  }
  if (overlapped == writeOverlapped_) {
    *done = writeLength_;
    return TRUE;
  }
  // An OVERLAPPED the device no longer follows (another port's, when
  // several share this one device) has nothing pending here.
  if (overlapped != readOverlapped_ && overlapped != waitOverlapped_) return TRUE;
  Op* op = overlapped == readOverlapped_ ? &readOp_ : &waitOp_;
  if (op == &waitOp_ && *op == Op::kPending && waitEndDue_) {
    waitOp_ = Op::kAborted;
    SetEvent(overlapped->hEvent);
  }
  if (*op == Op::kPending) {
    if (!wait) return Failed(ERROR_IO_INCOMPLETE);
    const bool endless = op == &waitOp_ && maskChangeLeavesWait_;
    lock.unlock();
    if (WaitForSingleObject(overlapped->hEvent, endless ? 5000 : INFINITE) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "GetOverlappedResult waits for a comm-event wait that nothing will end";
      return Failed(ERROR_IO_INCOMPLETE);
    }
    lock.lock();
  }
  if (*op == Op::kAborted) {
    *op = Op::kIdle;
    return Failed(ERROR_OPERATION_ABORTED);
  }
  *op = Op::kIdle;
  *done = overlapped == readOverlapped_ ? 1 : 0;
  return TRUE;
}

void ScriptedDevice::BeforeNextCall(Call call, const std::function<void()>& hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  beforeCall_[call] = hook;
}

void ScriptedDevice::RunBeforeCall(Call call) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = beforeCall_.find(call);
    if (found == beforeCall_.end()) return;
    hook = found->second;
    beforeCall_.erase(found);
  }
  hook();
}

void ScriptedDevice::BeforeResume(const std::function<void(void*)>& hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  beforeResume_ = hook;
}

void ScriptedDevice::NoteThread(HANDLE thread, void* argument) {
  std::lock_guard<std::mutex> lock(mutex_);
  thread_ = thread;
  threadArgument_ = argument;
}

void ScriptedDevice::RunBeforeResume(HANDLE thread) {
  std::function<void(void*)> hook;
  void* argument = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread != thread_ || !beforeResume_) return;
    hook.swap(beforeResume_);
    argument = threadArgument_;
  }
  hook(argument);
}

Call ScriptedDevice::ResultCallFor(LPOVERLAPPED overlapped) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (overlapped == readOverlapped_) return Call::ReadResult;
  if (overlapped == writeOverlapped_) return Call::WriteResult;
  return Call::WaitResult;
}

bool ScriptedDevice::WaitUntil(const std::function<bool()>& cond, DWORD timeoutMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The seam, bound to the current scripted device.

namespace device {

namespace {

ScriptedDevice& Dev() { return *ScriptedDevice::Current(); }

DWORD WINAPI EmptyThread(LPVOID) { return 0; }

// Records the call and tells whether a scripted failure applies.
bool Scripted(Call call, const char* name, DWORD argument) {
  Dev().RunBeforeCall(call);
  Dev().Record(name, argument);
  DWORD error = 0;
  if (!Dev().ShouldFail(call, error)) return false;
  lastError = error;
  return true;
}

}  // namespace

HANDLE CreateFileA(LPCSTR path, DWORD, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags,
                   HANDLE) {
  Dev().OpenPath(path);
  if (Scripted(Call::CreateFile, "CreateFile", flags | shareMode)) return INVALID_HANDLE_VALUE;
  return ScriptedDevice::kHandle;
}
BOOL SetupComm(HANDLE, DWORD inQueue, DWORD) {
  return Scripted(Call::SetupComm, "SetupComm", inQueue) ? FALSE : TRUE;
}
BOOL PurgeComm(HANDLE, DWORD flags) {
  return Scripted(Call::PurgeComm, "PurgeComm", flags) ? FALSE : Dev().PurgeComm(flags);
}
BOOL GetCommState(HANDLE, LPDCB dcb) {
  return Scripted(Call::GetCommState, "GetCommState", dcb->DCBlength) ? FALSE
                                                                      : Dev().GetCommState(dcb);
}
BOOL SetCommState(HANDLE, LPDCB dcb) {
  return Scripted(Call::SetCommState, "SetCommState", dcb->BaudRate) ? FALSE
                                                                     : Dev().SetCommState(dcb);
}
BOOL SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS timeouts) {
  return Scripted(Call::SetCommTimeouts, "SetCommTimeouts", timeouts->WriteTotalTimeoutMultiplier)
             ? FALSE
             : Dev().SetCommTimeouts(timeouts);
}
BOOL SetCommMask(HANDLE, DWORD mask) {
  return Scripted(Call::SetCommMask, "SetCommMask", mask) ? FALSE : Dev().SetCommMask(mask);
}
BOOL WaitCommEvent(HANDLE, LPDWORD mask, LPOVERLAPPED overlapped) {
  return Scripted(Call::WaitCommEvent, "WaitCommEvent", 0) ? FALSE
                                                           : Dev().WaitCommEvent(mask, overlapped);
}
BOOL ClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT stat) {
  return Scripted(Call::ClearCommError, "ClearCommError", 0) ? FALSE
                                                             : Dev().ClearCommError(errors, stat);
}
BOOL GetCommModemStatus(HANDLE, LPDWORD status) {
  return Scripted(Call::GetCommModemStatus, "GetCommModemStatus", 0)
             ? FALSE
             : Dev().GetCommModemStatus(status);
}
BOOL EscapeCommFunction(HANDLE, DWORD function) {
  return Scripted(Call::EscapeCommFunction, "EscapeCommFunction", function) ? FALSE : TRUE;
}
BOOL ReadFile(HANDLE, LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped) {
  return Scripted(Call::ReadFile, "ReadFile", length) ? FALSE
                                                      : Dev().ReadFile(buffer, done, overlapped);
}
BOOL WriteFile(HANDLE, LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped) {
  return Scripted(Call::WriteFile, "WriteFile", length)
             ? FALSE
             : Dev().WriteFile(buffer, length, done, overlapped);
}
BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED overlapped, LPDWORD done, BOOL wait) {
  Call call = Dev().ResultCallFor(overlapped);
  const char* name = call == Call::ReadResult    ? "ReadResult"
                     : call == Call::WriteResult ? "WriteResult"
                                                 : "WaitResult";
  if (Scripted(call, name, static_cast<DWORD>(wait))) {
    *done = 0;
    return FALSE;
  }
  return Dev().GetOverlappedResult(overlapped, done, wait);
}
BOOL CancelIoEx(HANDLE, LPOVERLAPPED overlapped) {
  return Scripted(Call::CancelIoEx, "CancelIoEx", 0) ? FALSE : Dev().CancelIoEx(overlapped);
}
BOOL FlushFileBuffers(HANDLE) {
  return Scripted(Call::FlushFileBuffers, "FlushFileBuffers", 0) ? FALSE : TRUE;
}
BOOL CloseHandle(HANDLE) {
  if (Scripted(Call::CloseHandle, "CloseHandle", 0)) return FALSE;
  Dev().Close();
  return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE entry,
                    LPVOID argument, DWORD flags, LPDWORD threadId) {
  if (Scripted(Call::CreateThread, "CreateThread", flags)) return nullptr;
  // A thread whose resume will fail never runs the port's entry: it runs an
  // empty one at once instead and ends by itself, so that none is left
  // suspended (which troubles Wine at process exit).
  if (Dev().ResumeWillFail()) {
    entry = EmptyThread;
    flags &= ~static_cast<DWORD>(CREATE_SUSPENDED);
  }
  HANDLE thread = ::CreateThread(security, stackSize, entry, argument, flags, threadId);
  if (thread == nullptr) lastError = ::GetLastError();
  Dev().NoteThread(thread, argument);
  return thread;
}
BOOL SetThreadPriority(HANDLE thread, int priority) {
  if (Scripted(Call::SetThreadPriority, "SetThreadPriority", static_cast<DWORD>(priority))) {
    return FALSE;
  }
  BOOL done = ::SetThreadPriority(thread, priority);
  if (!done) lastError = ::GetLastError();
  return done;
}
DWORD ResumeThread(HANDLE thread) {
  if (Scripted(Call::ResumeThread, "ResumeThread", 0)) {
    return 0xFFFFFFFF;
  }
  Dev().RunBeforeResume(thread);
  DWORD count = ::ResumeThread(thread);
  if (count == 0xFFFFFFFF) lastError = ::GetLastError();
  return count;
}

DWORD GetLastError() { return lastError; }

// The scripted device is never a port on a server.
std::string LastOpenRefusal() { return ""; }

// The scripted device names no system device.
bool ComPortDevice(unsigned, std::string* device, std::string* source) {
  device->clear();
  source->clear();
  return false;
}

void ObserveApiError(const char* apiName, const char* portName, DWORD errorCode) {
  Dev().RecordApiError(apiName, portName, errorCode);
}
void ObserveCloseReport(const char*, const char* text) { Dev().RecordCloseReport(text); }

}  // namespace device
