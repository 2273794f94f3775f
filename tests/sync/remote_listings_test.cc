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

// While one worker lists /a, another asks for /a too and, meanwhile, tries to
// list ahead /a (being listed), /b, /b again and /c, whose listing breaks.
TEST(RemoteListingsTest, AWorkerWaitingForAnothersListingListsAheadMeanwhile) {
  TrkRemoteListings listings;
  std::promise<void> first_began, release_first;
  std::shared_future<void> released = release_first.get_future().share();
  std::thread first([&] {
    listings.Get("/a", [&] {
      first_began.set_value();
      released.wait_for(std::chrono::seconds(10));  // a worker that never lists ahead never releases it
      return Listed(1);
    });
  });
  first_began.get_future().wait();

  const std::vector<std::string> ahead = {"/a", "/b", "/b", "/c"};
  std::vector<std::string> listed_ahead;
  size_t next = 0;
  const auto meanwhile = [&] {
    while (next < ahead.size()) {
      const std::string folder = ahead[next++];
      if (listings.ListAhead(folder, [&] {
            listed_ahead.push_back(folder);
            return Listing{folder == "/c" ? Outcome::kBroken : Outcome::kListed, {}, 0};
          })) {
        return true;
      }
    }
    release_first.set_value();  // nothing left to do ahead: the other's listing may end
    return false;
  };
  const auto got = listings.Get("/a", [] { return Listed(2); }, meanwhile);
  first.join();
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->sizes.at("a.txt"), 1) << "the waiting worker gets the other's listing, not its own";
  EXPECT_EQ(listed_ahead, (std::vector<std::string>{"/b", "/c"}));
  // Kept: what a later Get does not list again. A broken listing is not kept.
  std::vector<std::string> kept;
  for (const std::string folder : {"/a", "/b", "/c"}) {
    bool listed = false;
    listings.Get(folder, [&] { return listed = true, Listed(3); });
    if (!listed) kept.push_back(folder);
  }
  EXPECT_EQ(kept, (std::vector<std::string>{"/a", "/b"}));
}

}  // namespace
