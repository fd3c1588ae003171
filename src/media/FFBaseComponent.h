#pragma once

#include <string>

// Common base of the logger, the probe, the player and the engine component:
// the "sender" of log lines and events.
class TFFBaseComponent {
 public:
  virtual ~TFFBaseComponent() = default;
  std::string Name;
};
