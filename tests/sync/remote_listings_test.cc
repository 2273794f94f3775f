// The run's shared folder listings: each folder listed once, and a worker
// that finds its folder being listed by another lists one ahead meanwhile
// instead of leaving its connection idle.
#include "sync/remote_listings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using Listing = TrkRemoteListings::Listing;
using Outcome = Listing::Outcome;

Listing Listed(int64_t size) { return {Outcome::kListed, {{"a.txt", size}}, 1}; }

TEST(RemoteListingsTest, AWorkerWaitingForAnothersListingListsAheadMeanwhile) {
  struct Row {
    const char* what;
    std::vector<std::string> ahead;  // what the waiting worker's `meanwhile` tries to list, in turn
    Outcome ahead_outcome;
    std::vector<std::string> listed_ahead;  // the folders it did list meanwhile
    std::vector<std::string> kept;          // the folders kept once both are through
  } rows[] = {
      {"the next folders nobody lists, until there is none", {"/b", "/c"}, Outcome::kListed, {"/b", "/c"},
       {"/a", "/b", "/c"}},
      {"not the folder being listed, nor one listed twice", {"/a", "/b", "/b"}, Outcome::kListed, {"/b"},
       {"/a", "/b"}},
      {"a broken listing ahead is not kept", {"/b"}, Outcome::kBroken, {"/b"}, {"/a"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TrkRemoteListings listings;
    std::promise<void> first_listing_began, release_first;
    std::shared_future<void> released = release_first.get_future().share();
    std::thread first([&] {
      listings.Get("/a", [&] {
        first_listing_began.set_value();
        released.wait_for(std::chrono::seconds(10));  // a worker that never lists ahead never releases it
        return Listed(1);
      });
    });
    first_listing_began.get_future().wait();

    std::vector<std::string> listed_ahead;
    size_t next = 0;
    const auto meanwhile = [&] {
      while (next < row.ahead.size()) {
        const std::string folder = row.ahead[next++];
        const bool listed = listings.ListAhead(folder, [&] {
          listed_ahead.push_back(folder);
          return Listing{row.ahead_outcome, {}, 0};
        });
        if (listed) return true;
      }
      release_first.set_value();  // nothing left to do ahead: the other's listing may end
      return false;
    };
    const auto got = listings.Get("/a", [] { return Listed(2); }, meanwhile);
    first.join();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->sizes.at("a.txt"), 1) << "the waiting worker gets the other's listing, not its own";
    EXPECT_EQ(listed_ahead, row.listed_ahead);
    std::vector<std::string> kept;
    for (const std::string folder : {"/a", "/b", "/c"}) {
      bool listed_again = false;
      listings.Get(folder, [&] {
        listed_again = true;
        return Listed(3);
      });
      if (!listed_again) kept.push_back(folder);
    }
    EXPECT_EQ(kept, row.kept);
  }
}

}  // namespace
