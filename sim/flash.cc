// The simulated unit's flash model.
#include "sim/flash.h"

#include <optional>
#include <utility>

namespace sim {
namespace {

class FlashModel final : public RequestHandler {
 public:
  FlashModel(nlohmann::json config, std::filesystem::path state_dir)
      : config_(std::move(config)), state_dir_(std::move(state_dir)) {}

  std::optional<std::vector<uint8_t>> Handle(uint8_t, std::span<const uint8_t>) override { return std::nullopt; }
  void Save() override {}

 private:
  nlohmann::json config_;
  std::filesystem::path state_dir_;
};

}  // namespace

std::unique_ptr<RequestHandler> MakeFlashModel(const nlohmann::json& config, const std::filesystem::path& state_dir) {
  return std::make_unique<FlashModel>(config, state_dir);
}

}  // namespace sim
