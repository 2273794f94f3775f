#pragma once

#include <string>

#include "project/error.h"

namespace testing_support {

// The TrkError message of `action`, or "" when it throws none.
template <typename Action>
std::string ErrorOf(Action action) {
  try {
    action();
  } catch (const TrkError& error) {
    return error.what();
  }
  return "";
}

}  // namespace testing_support
