#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

namespace corvandel::xml::testing {

// Runs fn and checks that it raises E with exactly this message and code.
template <typename E>
void ExpectDOMError(const std::function<void()>& fn, const std::string& message, uint16_t code) {
  try {
    fn();
    ADD_FAILURE() << "no exception, expected: " << message;
  } catch (const E& e) {
    EXPECT_EQ(e.what(), message);
    EXPECT_EQ(e.Code(), code);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "wrong exception: " << e.what() << ", expected: " << message;
  }
}

}  // namespace corvandel::xml::testing
