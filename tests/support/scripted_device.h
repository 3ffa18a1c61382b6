// A scripted COM device behind the port seam: it fails any call on demand,
// reports line errors and modem lines, completes overlapped operations later
// (from the test's thread), and takes writes in pieces or in part. Threads,
// events and locks stay the real ones. One device is current at a time: the
// one a test constructed last.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

enum class Call {
  CreateFile,
  SetupComm,
  PurgeComm,
  GetCommState,
  SetCommState,
  SetCommTimeouts,
  SetCommMask,
  WaitCommEvent,
  ClearCommError,
  GetCommModemStatus,
  EscapeCommFunction,
  ReadFile,
  WriteFile,
  ReadResult,   // GetOverlappedResult of the read
  WriteResult,  // GetOverlappedResult of the write
  WaitResult,   // GetOverlappedResult of the comm-event wait
  CancelIoEx,
  FlushFileBuffers,
  CloseHandle,
  CreateThread,
  SetThreadPriority,
  ResumeThread,
};

struct ApiErrorReport {
  std::string api;
  std::string port;
  DWORD code;
};

class ScriptedDevice {
 public:
  static const HANDLE kHandle;

  ScriptedDevice();
  ~ScriptedDevice();
  ScriptedDevice(const ScriptedDevice&) = delete;
  ScriptedDevice& operator=(const ScriptedDevice&) = delete;

  // After `after` more calls, the next `times` calls of `call` fail with
  // `error` (times < 0: all of them).
  void Fail(Call call, DWORD error, int times = -1, int after = 0);

  // Every device call in order, as "Name arg" lines (e.g. "PurgeComm 10").
  std::vector<std::string> Log() const;
  // The arguments of every call of one kind, in order (PurgeComm masks,
  // EscapeCommFunction functions, SetCommMask masks).
  std::vector<DWORD> Arguments(const std::string& name) const;
  int Count(const std::string& name) const;
  std::vector<ApiErrorReport> ApiErrors() const;
  std::vector<std::string> CloseReports() const;
  DCB LastDcb() const;
  COMMTIMEOUTS LastTimeouts() const;
  std::string OpenedPath() const;

  // The DCB that GetCommState returns.
  void SetDriverDcb(const DCB& dcb);
  // What GetCommModemStatus answers (MS_* bits).
  void SetModemStatus(DWORD status);
  // Error masks that the next ClearCommError calls return, one each.
  void QueueLineErrors(DWORD errors);
  // Bytes waiting in the receive queue as ClearCommError reports them.
  void SetInQueue(DWORD bytes);

  // Comm-event waits. A wait pends until FireCommEvent completes it. With
  // QueueImmediateEvent the next wait completes at once instead. Setting the
  // mask while a wait pends ends it with mask 0 (as Windows does), or as
  // aborted with maskChangeAborts (as Wine does).
  void QueueImmediateEvent(DWORD mask);
  bool WaitUntilEventPending(DWORD timeoutMs = 5000);
  void FireCommEvent(DWORD mask);
  void SetMaskChangeAborts(bool aborts);
  // As Wine does: CancelIoEx cannot end a pending wait, and a mask change
  // ends it as aborted only later (here: at the next GetOverlappedResult). A
  // wait that began after the last mask change pends until the next one; a
  // blocking GetOverlappedResult on it fails the test after 5 s.
  void SetMaskChangeLeavesWaitPending(bool leaves);

  // Reads. Bytes given to Deliver are read one per ReadFile. A read pends and
  // completes as soon as a byte is there; with SetReadsCompleteAtOnce a read
  // that finds a byte waiting completes inside ReadFile. PurgeComm with
  // PURGE_RXABORT ends a pending read (as Windows does), unless
  // SetPurgeEndsReads(false) (as Wine does); CancelIoEx always ends it.
  void Deliver(const std::vector<BYTE>& bytes);
  void SetReadsCompleteAtOnce(bool atOnce);
  void SetPurgeEndsReads(bool ends);
  bool ReadPending() const;
  bool WaitUntilReadPending(DWORD timeoutMs = 5000);
  // ReadFile calls made while an earlier read was still pending: each would
  // let a byte land in the old read.
  int OverlappingReads() const;

  // Writes. By default WriteFile completes at once. SetWritePieces makes it
  // pend, then completes with one piece per GetOverlappedResult: every piece
  // but the last as ERROR_IO_INCOMPLETE. A last piece short of the length
  // makes a short write.
  void SetWritePieces(const std::vector<DWORD>& pieces);
  std::vector<BYTE> Written() const;

  // Runs at the start of the next call of that kind, outside the device's lock.
  void BeforeNextCall(Call call, const std::function<void()>& hook);

  // Runs before the next thread that the port starts is resumed, with the
  // thread's argument.
  void BeforeResume(const std::function<void(void*)>& hook);

  // Waits until cond holds (polling); false after timeoutMs.
  static bool WaitUntil(const std::function<bool()>& cond, DWORD timeoutMs = 5000);

  // Seam entry points (comm_device.h) land here.
  bool ShouldFail(Call call, DWORD& error);
  void RunBeforeCall(Call call);
  void Record(const std::string& name, DWORD argument);
  void RecordApiError(const char* api, const char* port, DWORD code);
  void RecordCloseReport(const char* text);
  BOOL GetCommState(LPDCB dcb);
  BOOL SetCommState(LPDCB dcb);
  BOOL SetCommTimeouts(LPCOMMTIMEOUTS timeouts);
  BOOL SetCommMask(DWORD mask);
  BOOL WaitCommEvent(LPDWORD mask, LPOVERLAPPED overlapped);
  BOOL ClearCommError(LPDWORD errors, LPCOMSTAT stat);
  BOOL GetCommModemStatus(LPDWORD status);
  BOOL PurgeComm(DWORD flags);
  BOOL ReadFile(LPVOID buffer, LPDWORD done, LPOVERLAPPED overlapped);
  BOOL WriteFile(LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped);
  BOOL GetOverlappedResult(LPOVERLAPPED overlapped, LPDWORD done, BOOL wait);
  BOOL CancelIoEx(LPOVERLAPPED overlapped);
  // The handle is closed: what pends ends as aborted, and the port's memory,
  // which a pending wait would write, is never touched again.
  void Close();
  Call ResultCallFor(LPOVERLAPPED overlapped) const;
  void OpenPath(const char* path);
  void NoteThread(HANDLE thread, void* argument);
  bool ResumeWillFail();
  void RunBeforeResume(HANDLE thread);

  static ScriptedDevice* Current();

 private:
  enum class Op { kIdle, kPending, kDone, kAborted };
  struct Failure {
    DWORD error;
    int times;
    int after;
  };
  void CompleteReadLocked();  // a byte for the pending read, if one waits
  void EndReadLocked();       // the pending read ends as aborted

  mutable std::mutex mutex_;
  std::map<Call, Failure> failures_;
  std::vector<std::string> log_;
  std::vector<ApiErrorReport> apiErrors_;
  std::vector<std::string> closeReports_;
  DCB driverDcb_;
  DCB lastDcb_;
  COMMTIMEOUTS lastTimeouts_;
  std::string openedPath_;
  DWORD modemStatus_;
  std::deque<DWORD> lineErrors_;
  DWORD inQueue_ = 0;

  std::deque<DWORD> immediateEvents_;
  bool maskChangeAborts_ = false;
  bool maskChangeLeavesWait_ = false;
  Op waitOp_ = Op::kIdle;
  bool waitEndDue_ = false;  // a mask change came while the wait pended
  LPDWORD waitMask_ = nullptr;
  LPOVERLAPPED waitOverlapped_ = nullptr;

  std::deque<BYTE> rx_;
  bool readsAtOnce_ = false;
  bool purgeEndsReads_ = true;
  Op readOp_ = Op::kIdle;
  BYTE* readBuffer_ = nullptr;
  LPOVERLAPPED readOverlapped_ = nullptr;
  int overlappingReads_ = 0;

  std::vector<DWORD> writePieces_;
  size_t nextPiece_ = 0;
  DWORD writeLength_ = 0;
  LPOVERLAPPED writeOverlapped_ = nullptr;
  std::vector<BYTE> written_;

  std::map<Call, std::function<void()>> beforeCall_;
  std::function<void(void*)> beforeResume_;
  HANDLE thread_ = nullptr;
  void* threadArgument_ = nullptr;
};
