// Listing virtual folders and the listing order.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "pdisk/listing.h"
#include "pdisk/pfile.h"
#include "vfs_fixture.h"

namespace {

using names = std::vector<std::string>;

names sorted(names v) {
  std::stable_sort(v.begin(), v.end(),
                   [](const std::string &a, const std::string &b) { return compare_str_item(a, b); });
  return v;
}

TEST(ListingOrder, FoldersFirstThenNaturalOrderWithoutCase) {
  EXPECT_EQ(sorted({"b10", "b9", "A/", "a.kvt"}), (names{"A/", "a.kvt", "b9", "b10"}));
  EXPECT_EQ(sorted({"Zed", "apple", "Banana"}), (names{"apple", "Banana", "Zed"}));
  EXPECT_EQ(sorted({"x_", "x1", "x"}), (names{"x", "x_", "x1"})); // a digit after anything else
  EXPECT_EQ(sorted({"f100", "f0020", "f3"}), (names{"f3", "f0020", "f100"}));
  EXPECT_EQ(sorted({"n99999999999999999999999", "n100000000000000000000000"}),
            (names{"n99999999999999999999999", "n100000000000000000000000"}));
  EXPECT_FALSE(compare_str_item("a", "a"));
  EXPECT_FALSE(compare_str_item("a", "A"));
  EXPECT_FALSE(compare_str_item("A", "a"));
}

// The keys the listing sorts by order names as the rule does, for names
// made of the characters that matter to it: digits with leading zeros,
// letters of both cases, the bytes that sort above every letter, folders.
TEST(ListingOrder, KeysSortAsTheRule) {
  const std::string alphabet = std::string("0019aAzZ_.-#") + "\xFE\xFF\x01";
  std::mt19937 rng(7);
  std::vector<std::string> pool;
  for (int i = 0; i < 400; i++) {
    std::string n;
    for (size_t len = rng() % 7; len > 0; len--) n += alphabet[rng() % alphabet.size()];
    if (rng() % 4 == 0) n += '/';
    pool.push_back(n);
  }
  for (const std::string &a : pool)
    for (const std::string &b : pool) {
      int c = listing_key(a).compare(listing_key(b));
      ASSERT_EQ(c < 0, compare_str_item(a, b)) << a << " | " << b;
      ASSERT_EQ(c > 0, compare_str_item(b, a)) << a << " | " << b;
    }
}

TEST_F(Vfs, ListsHostFoldersWithMountsAndCartridges) {
  host_put("b10", "");
  host_put("b9", "");
  host_put(".hidden", "");
  std::filesystem::create_directories(host + "/A");
  std::filesystem::create_directories(host + "/x.kvt"); // a folder named like a cartridge
  std::filesystem::create_directories(host + "/ram");   // hidden by the mount at "/ram"
  std::optional<pdisk_listing> l = pflist("/");
  ASSERT_TRUE(l);
  EXPECT_EQ(l->names, (names{"A/", "ram/", "b9", "b10", "x.kvt"}));
  EXPECT_EQ(l->folders, 2);

  EXPECT_FALSE(pflist("/no-such-folder"));
  EXPECT_FALSE(pflist("a b"));
}

TEST_F(Vfs, ListsRamFoldersAndMountPointsBelowThem) {
  ASSERT_TRUE(put("/ram/one.txt", "1"));
  ASSERT_TRUE(put("/ram/.secret", "s"));
  ASSERT_TRUE(put("/ram/deep/two.txt", "2")); // not directly under /ram
  ASSERT_EQ(pmkdir("/ram/sub"), 0);
  ASSERT_TRUE(mount_p_path("/ram/linked", "/ram/sub"));
  pmount cart;
  cart.kind = pmount_ram;
  cart.mount_point = "/ram/game.kvt";
  cart.origin = "/ram/mount/abcdefgh";
  ASSERT_TRUE(append_pmount(cart));
  std::optional<pdisk_listing> l = pflist("/ram");
  ASSERT_TRUE(l);
  EXPECT_EQ(l->names, (names{"linked/", "sub/", "game.kvt", "one.txt"}));
  EXPECT_EQ(l->folders, 2);

  std::optional<pdisk_listing> empty = pflist("/ram/nothing-here");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->names.empty());
}

} // namespace
