#include "tests/support/fake_pcsc.h"

#include <cstdio>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <utility>

namespace testing_support {

struct FakePcsc::State {
  std::mutex mutex;
  // Guarded by mutex.
  std::vector<std::string> readers;
  std::set<std::string> fail_connect;
  std::vector<std::string> calls;

  void Record(std::string call) {
    std::lock_guard lock(mutex);
    calls.push_back(std::move(call));
  }
};

namespace {

std::string ControlLine(const std::string& reader, uint32_t code, std::span<const uint8_t> input, size_t output_size) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", code);
  std::string line = "control " + reader + " " + text;
  for (uint8_t byte : input) {
    std::snprintf(text, sizeof text, " %02x", byte);
    line += text;
  }
  return line + " out=" + std::to_string(output_size);
}

}  // namespace

class FakePcsc::FakeCard final : public platform::pcsc::Card {
 public:
  FakeCard(std::shared_ptr<State> state, std::string reader) : state_(std::move(state)), reader_(std::move(reader)) {}
  ~FakeCard() override { state_->Record("disconnect " + reader_); }

  int32_t Control(uint32_t code, std::span<const uint8_t> input, std::span<uint8_t> output, size_t* received) override {
    state_->Record(ControlLine(reader_, code, input, output.size()));
    *received = 0;
    return platform::pcsc::kSuccess;
  }

 private:
  std::shared_ptr<State> state_;
  std::string reader_;
};

class FakePcsc::FakeContext final : public platform::pcsc::Context {
 public:
  explicit FakeContext(std::shared_ptr<State> state) : state_(std::move(state)) {}
  ~FakeContext() override { state_->Record("release"); }

  std::optional<std::vector<std::string>> ListReaders() override {
    state_->Record("list");
    std::lock_guard lock(state_->mutex);
    if (state_->readers.empty()) return std::nullopt;
    return state_->readers;
  }

  std::unique_ptr<platform::pcsc::Card> ConnectDirect(const std::string& reader) override {
    state_->Record("connect " + reader);
    std::lock_guard lock(state_->mutex);
    if (state_->fail_connect.count(reader) != 0) return nullptr;
    return std::make_unique<FakeCard>(state_, reader);
  }

 private:
  std::shared_ptr<State> state_;
};

std::vector<std::string> FakePcsc::DefaultReaders() {
  return {"OMNIKEY CardMan 5x21-CL 00 00", "HID Global OMNIKEY 5122CL Dual 01 00", "Other Reader 00 00"};
}

FakePcsc::FakePcsc(std::vector<std::string> readers) : state_(std::make_shared<State>()) {
  state_->readers = std::move(readers);
}

void FakePcsc::FailConnect(const std::string& reader) {
  std::lock_guard lock(state_->mutex);
  state_->fail_connect.insert(reader);
}

std::vector<std::string> FakePcsc::calls() const {
  std::lock_guard lock(state_->mutex);
  return state_->calls;
}

std::unique_ptr<platform::pcsc::Context> FakePcsc::EstablishContext() {
  state_->Record("establish");
  return std::make_unique<FakeContext>(state_);
}

ScopedPcsc::ScopedPcsc(std::vector<std::string> readers) : fake_(std::make_shared<FakePcsc>(std::move(readers))) {
  platform::pcsc::SetBackend(fake_);
}

ScopedPcsc::~ScopedPcsc() { platform::pcsc::SetBackend(nullptr); }

}  // namespace testing_support
