// The exception of the certificate naming and management code: a message for
// the user and the 32-bit code callers test.
#pragma once

#include <cstdint>
#include <string>

#include "platform/exception.h"

namespace zuntar {

class VCERT_Error : public Exception {
 public:
  VCERT_Error(const std::string& message, uint32_t code) : Exception(message), code_(code) {}
  const char* ClassName() const noexcept override { return "VCERT_Error"; }
  uint32_t ErrorCode() const noexcept { return code_; }

 private:
  uint32_t code_;
};

}  // namespace zuntar
