#include "platform/pcsc.h"

#include <winscard.h>

#include <algorithm>
#include <mutex>
#include <string_view>
#include <utility>

namespace platform::pcsc {
namespace {

// pcsc-lite's LONG is the platform's long; the result codes themselves are
// 32-bit values (0x801000xx), kept as Windows' signed LONG holds them.
int32_t ToResult(LONG result) { return static_cast<int32_t>(static_cast<uint32_t>(result)); }

class PcscLiteCard final : public Card {
 public:
  explicit PcscLiteCard(SCARDHANDLE handle) : handle_(handle) {}
  ~PcscLiteCard() override { SCardDisconnect(handle_, SCARD_UNPOWER_CARD); }
  PcscLiteCard(const PcscLiteCard&) = delete;
  PcscLiteCard& operator=(const PcscLiteCard&) = delete;

  int32_t Control(uint32_t code, std::span<const uint8_t> input, std::span<uint8_t> output, size_t* received) override {
    DWORD returned = 0;
    LONG result = SCardControl(handle_, code, input.data(), input.size(), output.data(), output.size(), &returned);
    // A failed control leaves the count undefined; never report more than the
    // buffer holds either way.
    *received = result == SCARD_S_SUCCESS && returned <= output.size() ? returned : 0;
    return ToResult(result);
  }

 private:
  SCARDHANDLE handle_;
};

class PcscLiteContext final : public Context {
 public:
  explicit PcscLiteContext(SCARDCONTEXT context) : context_(context) {}
  ~PcscLiteContext() override { SCardReleaseContext(context_); }
  PcscLiteContext(const PcscLiteContext&) = delete;
  PcscLiteContext& operator=(const PcscLiteContext&) = delete;

  std::optional<std::vector<std::string>> ListReaders() override {
    char* names = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    // With SCARD_AUTOALLOCATE the buffer argument receives a pointer to the
    // service's allocation, hence the cast of the pointer's address.
    LONG result = SCardListReaders(context_, nullptr, reinterpret_cast<LPSTR>(&names), &length);
    if (result != SCARD_S_SUCCESS || names == nullptr) return std::nullopt;
    // The length bounds the walk should the service's terminator be missing.
    std::vector<std::string> readers = SplitReaderNames(std::string_view(names, length));
    SCardFreeMemory(context_, names);
    return readers;
  }

  std::unique_ptr<Card> ConnectDirect(const std::string& reader) override {
    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    LONG result = SCardConnect(context_, reader.c_str(), SCARD_SHARE_DIRECT, 0, &handle, &protocol);
    if (result != SCARD_S_SUCCESS) return nullptr;
    return std::make_unique<PcscLiteCard>(handle);
  }

 private:
  SCARDCONTEXT context_;
};

class PcscLiteBackend final : public Backend {
 public:
  std::unique_ptr<Context> EstablishContext() override {
    SCARDCONTEXT context = 0;
    // pcsc-lite's client connects to the daemon's socket and fails with
    // SCARD_E_NO_SERVICE at once when nothing listens there.
    LONG result = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
    if (result != SCARD_S_SUCCESS) return nullptr;
    return std::make_unique<PcscLiteContext>(context);
  }
};

std::mutex g_backend_mutex;
std::shared_ptr<Backend> g_backend;  // guarded by g_backend_mutex

}  // namespace

std::vector<std::string> SplitReaderNames(std::string_view multi_string) {
  std::vector<std::string> names;
  while (!multi_string.empty() && multi_string.front() != '\0') {
    size_t end = std::min(multi_string.find('\0'), multi_string.size());
    names.emplace_back(multi_string.substr(0, end));
    multi_string.remove_prefix(std::min(end + 1, multi_string.size()));
  }
  return names;
}

std::shared_ptr<Backend> GetBackend() {
  std::lock_guard lock(g_backend_mutex);
  if (!g_backend) g_backend = std::make_shared<PcscLiteBackend>();
  return g_backend;
}

void SetBackend(std::shared_ptr<Backend> backend) {
  std::lock_guard lock(g_backend_mutex);
  g_backend = std::move(backend);
}

}  // namespace platform::pcsc
