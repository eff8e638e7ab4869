// Checks that a call fails with torvel::Error of a given kind.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/error.h"

namespace torvel::testing {

// Runs f, which must throw Error of `kind`; returns its message ("" after recording the
// failure when f returns).
inline std::string expect_error(ErrorKind kind, const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), kind) << e.what();
    return e.what();
  }
  ADD_FAILURE() << "no error";
  return "";
}

// The same, and its message is exactly `message`.
inline void expect_error(ErrorKind kind, const std::string& message,
                         const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), kind);
    EXPECT_EQ(std::string(e.what()), message);
    return;
  }
  ADD_FAILURE() << "no error, expected: " << message;
}

}  // namespace torvel::testing
