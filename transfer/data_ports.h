#pragma once

#include <string>

// The listening ports of the program's active FTP data connections: a window of
// kWidth ports that moves on kStride ports per transfer, over ports the kernel
// does not hand out by itself (its own range for outgoing connections is
// 32768-60999 by default). Asking the kernel for any free port instead (port 0)
// costs milliseconds per transfer once thousands of earlier data connections
// wait in TIME-WAIT; a port of our choosing is bound at once, since the listener
// may reuse an address in TIME-WAIT.
//
// Thread safety: one window position for the whole process, moved atomically,
// so sessions of several threads take turns.
class TrkDataPorts {
 public:
  static constexpr unsigned kFirst = 61000;
  static constexpr unsigned kLast = 65535;
  static constexpr unsigned kWidth = 64;
  // More than the width, so that the next transfer never gets the port the last
  // one used (even when another program holds the first ports of a window), and
  // prime to the number of window starts, so that every start comes round once
  // in kStarts transfers.
  static constexpr unsigned kStride = 67;
  static constexpr unsigned kStarts = kLast - kFirst + 1 - kWidth;

  // The first port of the next transfer's window.
  static unsigned NextWindow();
};
