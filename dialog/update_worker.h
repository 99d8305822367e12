// The dialog's update: the same stages as the unattended update, run on a
// worker thread that reports each step to the dialog as list lines, progress
// steps and the current activity, and ends by posting update-finished.
#pragma once

#include <cstdint>
#include <thread>

#include "dialog/update_host.h"
#include "updater/silent.h"

// The trace log an update writes when VerboseLogging is 1.
inline constexpr const char* kTraceLogFile = "RdrDev.log";

// The progress bar's range for the configured files: 6 for a bootloader
// (else 1) and 3 for each other file.
int32_t UpdateProgressRange(const QuorvelFirmwareUpdaterSilent& silent);

class UpdateWorker {
 public:
  UpdateWorker(QuorvelFirmwareUpdaterSilent& silent, UpdateHost& host) : silent_(silent), host_(host) {}
  // Waits for a worker still running.
  ~UpdateWorker() { Join(); }
  UpdateWorker(const UpdateWorker&) = delete;
  UpdateWorker& operator=(const UpdateWorker&) = delete;

  // Sets the old-protocol switch and starts the worker; returns 0 at once.
  // The caller starts no second worker before the first has posted
  // update-finished.
  int32_t StartUpdateWorker(bool useOldTransferProtocol);
  // Waits for the last worker started; it has ended once it posted
  // update-finished.
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  QuorvelFirmwareUpdaterSilent& silent_;
  UpdateHost& host_;
  std::thread thread_;
};
