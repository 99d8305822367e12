// One simulated reader unit on the bus: the USB device a host opens (bulk
// pipes or the still-image file interface), the replies queued on its IN
// endpoint for the host to read, its presence on the bus (soft boot, disconnects), its faults
// and the record of everything the host did to it. The firmware behind it
// (sim/firmware.h) answers the requests.
//
// Thread-safe: one mutex (mutex_) guards all of a unit's state, including
// the firmware and the devices opened on it; waits release it while they
// sleep on the installed clock.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/usb.h"
#include "sim/firmware.h"
#include "sim/traffic.h"
#include "sim/unit_config.h"

namespace sim {

class UnitDevice;

// What the IN endpoint holds at most of unread replies; beyond it the oldest
// replies are dropped whole, as a unit whose buffer overflowed would.
inline constexpr size_t kReplyQueueBytes = 64 * 1024;

// Create units with std::make_shared: open devices keep their unit alive.
class Unit : public std::enable_shared_from_this<Unit> {
 public:
  // state_dir empty: nothing the unit stores survives it.
  Unit(UnitConfig config, std::filesystem::path state_dir = {});
  ~Unit();
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;

  const UnitConfig& config() const { return config_; }
  const std::string& name() const { return config_.name; }
  // The USB identity the unit has on the bus now: config() with the current
  // product id (the boot loader's after a restored image, see
  // UnitConfig::boot_loader_product_id). Explicit hardware ids describe the
  // unit under its own product id; under another they are derived.
  UnitConfig BusIdentity();
  uint16_t ProductId();
  std::string DevicePath();
  const std::filesystem::path& state_dir() const { return state_dir_; }

  // --- Presence on the bus ---------------------------------------------
  // Listed and openable: on the bus and not disabled.
  bool Present();
  bool OnBus();
  bool Disabled();
  void SetDisabled(bool disabled);
  // Drops off the bus now (open devices fail from here on); back after the
  // given milliseconds on the installed clock, or never when nullopt.
  void Disconnect(std::optional<uint32_t> return_after_ms);
  // Back on the bus now.
  void Reconnect();
  uint32_t soft_boots();

  // --- Faults ------------------------------------------------------------
  // Replaces the faults; their request numbers count from the next request.
  void SetFaults(Faults faults);
  Faults faults();
  // Answers the n-th request (counted as for SetFaults) with raw bytes.
  void ScriptReply(uint32_t request_number, ScriptedReply reply);
  void HaltEndpoint(uint8_t pipe_id);
  // Requests received since the faults were last set.
  uint64_t requests_received();

  // --- Traffic -------------------------------------------------------------
  // The kept tail of the record (see TrafficLimit; kDefaultTrafficLimit
  // unless changed).
  std::vector<TrafficEvent> traffic();
  // Forgets the record so far (a transfer still outstanding then completes
  // without a record).
  void ClearTraffic();
  // kNoTraffic keeps nothing: for programs and benchmarks.
  void SetTrafficLimit(TrafficLimit limit);
  uint32_t devices_opened();

  // --- What the unit holds ------------------------------------------------
  uint32_t status_word();
  void SetStatusWord(uint32_t word);
  std::optional<std::string> ReportedString(const std::string& key);
  void SetReportedString(const std::string& key, std::optional<std::string> value);
  std::optional<StoredFile> FileNamed(const std::string& name);
  std::vector<std::string> FileNames();
  std::optional<std::vector<uint8_t>> Image();
  std::vector<uint8_t> Fx3BootMemory();
  // A file of chip 0's flash file system by name (case as stored); nullopt
  // when there is none.
  std::optional<std::vector<uint8_t>> FlashFile(const std::string& name);
  // The first bytes of raw chip 0 (erased bytes read 0xFF).
  std::vector<uint8_t> RawFlash(size_t bytes);
  // Asked before the unit's own services and the flash model.
  void AddHandler(std::unique_ptr<RequestHandler> handler);
  // The unit's flash model, for its test hooks.
  FlashModel& flash();

  // --- The bus side, for the simulated backend ------------------------------
  // Opens the unit for exclusive use; null with the errno in the thread's
  // slot when it is absent (ENODEV) or already open (EBUSY).
  std::unique_ptr<platform::usb::Device> Open();

 private:
  friend class UnitDevice;

  // A reply waiting to be read: chunks that each end a bulk transfer.
  struct Reply {
    std::vector<std::vector<uint8_t>> chunks;
    size_t chunk = 0;
    size_t offset = 0;
    bool started = false;  // some of it has been delivered
    bool soft_boot = false;
    bool empty() const { return chunk >= chunks.size(); }
    size_t bytes_left() const;
  };

  UnitConfig BusIdentityLocked() const;
  void RefreshLocked();
  bool PresentLocked();
  bool SessionAliveLocked(uint64_t generation) const;
  void DropOffBusLocked(std::optional<uint32_t> return_after_ms);
  // Acts on one whole request message, the number-th since the faults were set.
  void ReceiveLocked(std::span<const uint8_t> transfer, uint64_t number);
  // Queues a reply behind those the host has not read, dropping the oldest
  // beyond kReplyQueueBytes.
  void QueueReplyLocked(Reply reply);
  // The IN endpoint was reset or aborted: what it held is gone.
  void DropRepliesLocked();
  // Appends to the traffic record; returns the event's sequence number.
  uint64_t RecordLocked(TrafficEvent event);
  // The event of a sequence number; null once dropped from the record.
  TrafficEvent* EventLocked(uint64_t sequence);
  uint64_t NowMs() const;

  const UnitConfig config_;
  const std::filesystem::path state_dir_;

  std::mutex mutex_;  // guards every member below and the state of open UnitDevices
  ReaderFirmware firmware_;
  bool disabled_;
  bool on_bus_ = true;
  std::optional<uint64_t> return_at_ms_;  // when off the bus: when it comes back
  uint64_t generation_ = 1;               // changes each time the unit drops off the bus
  uint32_t open_device_ = 0;              // the device holding the unit open; 0 for none
  uint32_t devices_opened_ = 0;
  uint32_t soft_boots_ = 0;
  Faults faults_;
  uint64_t requests_ = 0;  // since faults_ were set
  std::vector<uint8_t> halted_;
  std::deque<Reply> replies_;  // oldest first
  TrafficRecord traffic_;
};

}  // namespace sim
