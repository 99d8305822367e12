// A PC/SC service for tests: a configurable set of attached readers, switches
// that make each step fail, and a record of every call in the order it was
// made, so a test can pin the exact sequence and bytes the engine sends.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/pcsc.h"

namespace testing_support {

class FakePcsc final : public platform::pcsc::Backend {
 public:
  // Readers of a PC with one reader of each kind the engine tells apart.
  static std::vector<std::string> DefaultReaders();

  explicit FakePcsc(std::vector<std::string> readers = DefaultReaders());

  // An empty reader list makes the listing fail, as the service does when no
  // reader is attached. FailConnect makes connecting to `reader` fail.
  void FailConnect(const std::string& reader);

  // Every call so far, one line each:
  //   "establish", "list", "connect <reader>",
  //   "control <reader> <code as 0x%08x> <input as hex bytes> out=<output size>",
  //   "disconnect <reader>", "release".
  // Failed calls are recorded too.
  std::vector<std::string> calls() const;

  std::unique_ptr<platform::pcsc::Context> EstablishContext() override;

 private:
  struct State;
  class FakeContext;
  class FakeCard;
  // Shared with the contexts and cards handed out, so that one outliving the
  // fake still records safely.
  std::shared_ptr<State> state_;
};

// Installs a FakePcsc as the process's PC/SC backend for its lifetime, then
// restores pcsc-lite.
class ScopedPcsc {
 public:
  explicit ScopedPcsc(std::vector<std::string> readers = FakePcsc::DefaultReaders());
  ~ScopedPcsc();
  ScopedPcsc(const ScopedPcsc&) = delete;
  ScopedPcsc& operator=(const ScopedPcsc&) = delete;

  FakePcsc& fake() { return *fake_; }

 private:
  std::shared_ptr<FakePcsc> fake_;
};

}  // namespace testing_support
