// What the update worker and the device search need of the dialog, without
// the toolkit: the texts they write, the list and the progress bar they
// drive, the messages they post and the flags they share with it.
#pragma once

#include <array>
#include <atomic>
#include <mutex>
#include <string>

// The dialog's texts bound to its controls. Written by the worker and the
// device search, read by the dialog's thread when it refreshes its controls.
class DialogTexts {
 public:
  enum Field { kSerial, kBoot, kApp, kFx3, kProgressInfo, kStatus, kFieldCount };

  std::string Get(Field field) const {
    std::lock_guard lock(mutex_);
    return values_[field];
  }
  void Set(Field field, std::string value) {
    std::lock_guard lock(mutex_);
    values_[field] = std::move(value);
  }

 private:
  mutable std::mutex mutex_;  // guards values_
  std::array<std::string, kFieldCount> values_;
};

class UpdateHost {
 public:
  virtual ~UpdateHost() = default;

  DialogTexts& texts() { return texts_; }

  // A list line, also written to the session log. Carried out on the
  // dialog's thread; a caller on another thread waits until it is done.
  virtual void AddMessage(const std::string& text) = 0;
  // Advances the progress bar by one; waits like AddMessage.
  virtual void StepProgress() = 0;
  // Posts "copy the texts into the controls" (0x0403).
  virtual void PostRefreshControls() = 0;
  // Posts "the update has finished" (0x0404).
  virtual void PostUpdateFinished() = 0;

  // Set when the dialog is being closed; ends a device search.
  std::atomic<bool> closing{false};
  // Whether the last device-search poll saw the unit.
  std::atomic<bool> present{false};

 private:
  DialogTexts texts_;
};
