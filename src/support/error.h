// The core's one exception type. The surface raises the matching built-in
// Python exception with the same message; the core never touches Python.
#pragma once

#include <stdexcept>
#include <string>

namespace torvel {

enum class ErrorKind { Value, Index, Type, Overflow, Runtime };

class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  ErrorKind kind() const noexcept { return kind_; }

 private:
  ErrorKind kind_;
};

[[noreturn]] void raise_value_error(const std::string& message);
[[noreturn]] void raise_index_error(const std::string& message);
[[noreturn]] void raise_type_error(const std::string& message);
[[noreturn]] void raise_overflow_error(const std::string& message);

}  // namespace torvel
