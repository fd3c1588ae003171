#pragma once

#include <stdexcept>
#include <string>

// The media components' error: its message is shown to the user as it is
// (LastError, a termination notice).
class FFmpegException : public std::runtime_error {
 public:
  explicit FFmpegException(const std::string& message) : std::runtime_error(message) {}
};
