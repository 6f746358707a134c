// Base of every exception the program raises on purpose.
//
// Replies and log lines name the class of a failure ("#Error#" + class name +
// " " + message), so each class states its own name instead of relying on
// typeid, whose text is compiler-specific.
#pragma once

#include <stdexcept>
#include <string>

namespace zuntar {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  virtual const char* ClassName() const noexcept { return "Exception"; }
};

// Defines a leaf exception class whose ClassName() is its own name.
#define ZUNTAR_DEFINE_EXCEPTION(Name, Base)                                 \
  class Name : public Base {                                                \
   public:                                                                  \
    using Base::Base;                                                       \
    const char* ClassName() const noexcept override { return #Name; }       \
  }

// A file could not be opened or read.
ZUNTAR_DEFINE_EXCEPTION(EFOpenError, Exception);
// A file could not be created or written.
ZUNTAR_DEFINE_EXCEPTION(EFCreateError, Exception);

}  // namespace zuntar
