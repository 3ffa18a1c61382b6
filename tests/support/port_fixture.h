// A port over a fresh scripted device, for the port object's tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "serchan32/comm_port.h"
#include "tests/support/scripted_device.h"

class PortTest : public ::testing::Test {
 protected:
  static PortSettings Settings(DWORD portNumber, DWORD baud, DWORD dtrDsr = 0, DWORD ctsRts = 0,
                               DWORD signalLineErrors = 0) {
    PortSettings settings = {};
    settings.portNumber = portNumber;
    settings.baudRate = baud;
    settings.dtrDsrFlow = dtrDsr;
    settings.ctsRtsFlow = ctsRts;
    settings.signalLineErrors = signalLineErrors;
    return settings;
  }

  // Constructs the port; returns its status.
  PortStatus Construct(const PortSettings& settings, unsigned dataBits = 8, int parity = 0,
                       unsigned stop = 0) {
    PortStatus status = 99;
    port_ = std::make_unique<CommPort>(settings, dataBits, parity, stop, status);
    return status;
  }

  PortStatus Open(DWORD baud = 9600) { return Construct(Settings(5, baud)); }

  // Waits for the watcher to leave its loop; true when it did. (The thread
  // itself ends with it when its device failed, else at close.)
  bool WatcherEnds(DWORD timeoutMs = 5000) {
    return WaitForSingleObject(port_->watcherDoneEvent, timeoutMs) == WAIT_OBJECT_0;
  }

  ScriptedDevice device_;
  std::unique_ptr<CommPort> port_;
};
