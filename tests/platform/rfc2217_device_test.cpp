// The driver's ports on a server (platform/posix/serial/rfc2217_*) against a
// scripted server on 127.0.0.1, for what ser2net does not do: line-state
// notifications, commands left unanswered, data on its way when a purge is
// answered; and 0xFF inside values both ways.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/serial/rfc2217_protocol.h"
#include "serchan32/comm_device.h"

namespace {

using namespace rfc2217;
using Clock = std::chrono::steady_clock;

std::string Notification(uint8_t command, uint8_t value) {
  std::string bytes;
  AppendCommand(command + kAnswer, ByteValue(value), &bytes);
  return bytes;
}

// A server of one client. It answers each command with its code + 100: a
// query (a value of zeros) with 9600 8N1, no flow control, DTR and RTS on;
// any other with the value asked for; the masks with a notification. It
// leaves the SET-CONTROL values it is told to unanswered, and sends the
// stale bytes before its answer to a purge and the fresh ones after it.
class ScriptedServer {
 public:
  ScriptedServer() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), size);
    listen(listener_, 1);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    thread_.join();
    close(listener_);
    if (client_ >= 0) close(client_);
  }

  std::string Address() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
  void Silence(uint8_t control) {
    std::lock_guard<std::mutex> lock(mutex_);
    silenced_.insert(static_cast<char>(control));
  }
  void OnPurge(const std::string& stale, const std::string& fresh) {
    std::lock_guard<std::mutex> lock(mutex_);
    stale_ = stale;
    fresh_ = fresh;
  }
  void Send(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) ADD_FAILURE() << "send";
  }
  // The last value the client asked for with this command.
  std::string Asked(uint8_t command) {
    std::lock_guard<std::mutex> lock(mutex_);
    return asked_[command];
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd ready = {client_ >= 0 ? client_ : listener_, POLLIN, 0};
      if (poll(&ready, 1, 10) <= 0) continue;
      if (client_ < 0) {
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        {
          std::lock_guard<std::mutex> lock(mutex_);
          client_ = client;
        }
        Send(std::string{char(kIac), char(kDo), char(kComPort), char(kIac), char(kWill),
                         char(kBinary), char(kIac), char(kDo), char(kBinary)});
        continue;
      }
      uint8_t bytes[4096];
      const ssize_t got = recv(client_, bytes, sizeof bytes, 0);
      if (got <= 0) break;
      std::vector<Subnegotiation> commands;
      std::string ignored;  // the server's negotiation is its opening alone
      stream_.Receive(bytes, static_cast<size_t>(got), bytes, &commands, &ignored);
      for (const Subnegotiation& command : commands) Answer(command);
    }
  }

  void Answer(const Subnegotiation& command) {
    if (command.code >= kCommandCount) return;
    std::string value = command.value;
    std::string before;
    std::string after;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      asked_[command.code] = value;
      if (command.code == kSetControl && !value.empty() && silenced_.count(value[0])) return;
      if (command.code == kPurgeData) {
        before = stale_;
        after = fresh_;
      }
    }
    if (value.find_first_not_of('\0') == std::string::npos) {
      const uint8_t queried[kCommandCount] = {0, 0, 8, 1, 1, 0};
      value = command.code == kSetBaudRate  ? LongValue(9600)
              : command.code != kSetControl ? ByteValue(queried[command.code])
                                            : ByteValue(kNoFlow);
    } else if (command.code == kSetControl && value[0] == kDtrQuery) {
      value = ByteValue(kDtrOn);
    } else if (command.code == kSetControl && value[0] == kRtsQuery) {
      value = ByteValue(kRtsOn);
    }
    std::string bytes;
    if (command.code == kSetModemStateMask) {
      bytes = Notification(kNotifyModemState, kCarrierDetect | kDataSetReady | kClearToSend);
    } else if (command.code == kSetLineStateMask) {
      bytes = Notification(kNotifyLineState, 0);
    } else {
      AppendCommand(command.code + kAnswer, value, &bytes);
    }
    Send(before + bytes + after);
  }

  int listener_ = -1;
  int client_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  Stream stream_;
  std::mutex mutex_;
  std::set<char> silenced_;
  std::string stale_;
  std::string fresh_;
  std::string asked_[kCommandCount];
};

class RemoteDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = device::CreateFileA(server_.Address().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, port_);
    overlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    if (port_ != INVALID_HANDLE_VALUE) device::CloseHandle(port_);
    CloseHandle(overlapped_.hEvent);
  }

  static double Seconds(void (*call)(HANDLE), HANDLE port) {
    const Clock::time_point start = Clock::now();
    call(port);
    return std::chrono::duration<double>(Clock::now() - start).count();
  }

  ScriptedServer server_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
  OVERLAPPED overlapped_ = {};
};

TEST_F(RemoteDevice, LineStateNotificationsAreLineErrors) {
  const struct {
    uint8_t state;
    DWORD error;
    DWORD event;
  } cases[] = {
      {kOverrunError, CE_OVERRUN, EV_ERR},
      {kParityError, CE_RXPARITY, EV_ERR},
      {kFramingError, CE_FRAME, EV_ERR},
      {kBreakDetected, CE_BREAK, EV_BREAK},
  };
  ASSERT_TRUE(device::SetCommMask(port_, EV_ERR | EV_BREAK));
  for (const auto& c : cases) {
    DWORD events = 0;
    EXPECT_FALSE(device::WaitCommEvent(port_, &events, &overlapped_));
    server_.Send(Notification(kNotifyLineState, c.state));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(overlapped_.hEvent, 2000)) << c.error;
    EXPECT_EQ(c.event, events);
    DWORD errors = 0;
    EXPECT_TRUE(device::ClearCommError(port_, &errors, nullptr));
    EXPECT_EQ(c.error, errors);
  }
}

// The first unanswered command costs about a second; the same command is
// not waited for again, and the port goes on.
TEST_F(RemoteDevice, AnUnansweredCommandIsWaitedForOnce) {
  server_.Silence(kDtrOff);
  server_.Silence(kDtrOn);
  const auto clear = [](HANDLE port) { EXPECT_TRUE(device::EscapeCommFunction(port, CLRDTR)); };
  const auto set = [](HANDLE port) { EXPECT_TRUE(device::EscapeCommFunction(port, SETDTR)); };
  const auto rts = [](HANDLE port) { EXPECT_TRUE(device::EscapeCommFunction(port, CLRRTS)); };
  EXPECT_LT(Seconds(rts, port_), 0.5);
  const double first = Seconds(clear, port_);
  EXPECT_GT(first, 0.9);
  EXPECT_LT(first, 2.0);
  EXPECT_LT(Seconds(set, port_), 0.5);
  server_.Send("ok");
  char got[2] = {};
  DWORD done = 0;
  ASSERT_TRUE(device::ReadFile(port_, got, 2, &done, nullptr));
  EXPECT_EQ("ok", std::string(got, done));
}

// What the server had sent before it answered the purge was on its way
// already, and is purged too.
TEST_F(RemoteDevice, PurgeDropsWhatCameBeforeItsAnswer) {
  server_.OnPurge("stale", "fresh");
  ASSERT_TRUE(device::PurgeComm(port_, PURGE_RXCLEAR));
  char got[5] = {};
  DWORD done = 0;
  ASSERT_TRUE(device::ReadFile(port_, got, 5, &done, nullptr));
  EXPECT_EQ("fresh", std::string(got, done));
  COMSTAT stat = {};
  ASSERT_TRUE(device::ClearCommError(port_, nullptr, &stat));
  EXPECT_EQ(0u, stat.cbInQue);
}

TEST_F(RemoteDevice, ValuesHoldingFfArriveWhole) {
  DCB dcb = {};
  ASSERT_TRUE(device::GetCommState(port_, &dcb));
  EXPECT_EQ(9600u, dcb.BaudRate);
  dcb.BaudRate = 0xFFFF;
  ASSERT_TRUE(device::SetCommState(port_, &dcb));
  EXPECT_EQ(LongValue(0xFFFF), server_.Asked(kSetBaudRate));
  DWORD events = 0;
  ASSERT_TRUE(device::SetCommMask(port_, EV_RING));
  EXPECT_FALSE(device::WaitCommEvent(port_, &events, &overlapped_));
  server_.Send(Notification(kNotifyModemState, 0xFF));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(overlapped_.hEvent, 2000));
  DWORD lines = 0;
  ASSERT_TRUE(device::GetCommModemStatus(port_, &lines));
  EXPECT_EQ(DWORD{MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON}, lines);
}

}  // namespace
