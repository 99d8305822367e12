// A part of the simulated unit's model that serves some of the requests the
// unit receives (the flash model serves the sector command and the serial
// memory services, for instance).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sim {

class RequestHandler {
 public:
  virtual ~RequestHandler() = default;
  // The reply body for one request message (Command and request body), or
  // nullopt when this handler does not serve the request. The host's reply
  // capacity never crosses the wire, so replies are sized from the request.
  virtual std::optional<std::vector<uint8_t>> Handle(uint8_t command, std::span<const uint8_t> body) = 0;
  // Writes the handler's persistent state (called after every request that
  // changed it and when the unit is released).
  virtual void Save() = 0;
};

}  // namespace sim
