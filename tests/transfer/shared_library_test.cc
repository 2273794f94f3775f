// A library loaded at its first use: a missing library or entry point is an
// error that names it, never a null call.
#include <gtest/gtest.h>

#include <string>

#include "project/error.h"
#include "transfer/shared_library.h"

namespace {

TEST(SharedLibraryTest, FindsEntryPointsOrSaysWhatIsMissing) {
  const struct Row {
    const char* library;
    const char* symbol;
    const char* error;  // a part of the message; null when found
  } rows[] = {
      {"libc.so.6", "strlen", nullptr},
      {"libc.so.6", "no_such_entry_point", "libc.so.6 has no no_such_entry_point"},
      {"libdropvan-missing.so.9", "strlen", "libdropvan-missing.so.9 cannot be loaded"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.library) + " " + row.symbol);
    const TrkSharedLibrary library(row.library);
    for (int call = 1; call <= 2; ++call) {  // the second call after the load, or its failure
      try {
        EXPECT_NE(library.Symbol(row.symbol), nullptr);
        EXPECT_EQ(row.error, nullptr);
      } catch (const TrkError& e) {
        ASSERT_NE(row.error, nullptr) << e.what();
        EXPECT_NE(std::string(e.what()).find(row.error), std::string::npos) << e.what();
        EXPECT_FALSE(e.Reason().empty());
      }
    }
  }
}

}  // namespace
