// RAM folders as cartridge entries, and rom form round trips through them.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kernel/buffer.h"
#include "pdisk/pfile.h"
#include "pdisk/ram_folder.h"
#include "pdisk/rom_form.h"
#include "vfs_fixture.h"

namespace {

using entry_list = std::vector<cart_entry>;

entry_list by_name(entry_list v) {
  std::sort(v.begin(), v.end(), [](const cart_entry &a, const cart_entry &b) { return a.name < b.name; });
  return v;
}

// A random tree: folders listed before what they hold, file bodies of every
// length class of the form (one-byte and u32 lengths) and any bytes.
entry_list random_tree(std::mt19937 &rng) {
  std::uniform_int_distribution<int> count(1, 40), kind(0, 3), len_class(0, 3), byte(0, 255);
  entry_list entries;
  std::vector<std::string> folders = {""};
  std::set<std::string> used;
  for (int i = count(rng); i > 0; i--) {
    std::string parent = folders[std::uniform_int_distribution<size_t>(0, folders.size() - 1)(rng)];
    std::string name = parent + "n" + std::to_string(entries.size());
    if (!used.insert(name).second) continue;
    if (kind(rng) == 0) {
      entries.push_back({name + "/", ""});
      folders.push_back(name + "/");
      continue;
    }
    static const int lengths[] = {0, 254, 255, 70000};
    int n = std::uniform_int_distribution<int>(0, lengths[len_class(rng)])(rng);
    std::string body;
    for (int b = 0; b < n; b++) body.push_back(char(byte(rng)));
    entries.push_back({name + ".bin", body});
  }
  return entries;
}

TEST_F(Vfs, RamFolderTreesRoundTripThroughTheRomForm) {
  std::mt19937 rng(7);
  for (int round = 0; round < 25; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    entry_list tree = random_tree(rng);
    ASSERT_EQ(store_cart_entries_in_ram_folder("/ram/src", tree), int(tree.size()));

    buffer_owner rom(create_buffer_2(0, 0));
    ASSERT_TRUE(write_kvt_rom_from_ram_files(rom.get(), "/ram/src", 0));
    rom->position = 0;
    populate_ram_folder_from_kvt_rom_buffer("/ram/dst", rom.get());
    EXPECT_EQ(rom->position, rom->length);

    EXPECT_EQ(by_name(collect_ram_folder_entries("/ram/dst")), by_name(tree));
    EXPECT_EQ(collect_ram_folder_entries("/ram/src"), collect_ram_folder_entries("/ram/src"));
    delete_ram_files_in_path("/ram/src");
    delete_ram_files_in_path("/ram/dst");
  }
}

TEST_F(Vfs, RomFormOfTheSystemShapeAndOfDamagedBytes) {
  // the system cartridge's entries are named under "system/" and filled with
  // an empty folder name
  ASSERT_TRUE(mount_ram_folder("/system"));
  buffer_owner rom(create_buffer_2(0, 0));
  ASSERT_TRUE(write_kvt_rom_entries(rom.get(), {{"system/", ""}, {"system/boot.lua", "print(1)"}}, 0));
  rom->position = 0;
  populate_ram_folder_from_kvt_rom_buffer("", rom.get());
  EXPECT_EQ(get("/system/boot.lua"), "print(1)");
  EXPECT_TRUE(pdisk_directory_exists("/system", false));

  // bytes without the magic are one program
  buffer_owner plain(create_buffer_from_str("print(2)"));
  plain->position = 0;
  populate_ram_folder_from_kvt_rom_buffer("/ram/p", plain.get());
  EXPECT_EQ(get("/ram/p/main.lua"), "print(2)");

  // names a path cannot hold are left out; the rest is stored
  testing::internal::CaptureStdout();
  buffer_owner odd(create_buffer_2(0, 0));
  ASSERT_TRUE(write_kvt_rom_entries(odd.get(), {{"ok.txt", "1"}, {"has space", "2"}, {"long/" + std::string(390, 'z'), "3"}}, 0));
  odd->position = 0;
  populate_ram_folder_from_kvt_rom_buffer("/ram/odd", odd.get());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(collect_ram_folder_entries("/ram/odd"), (entry_list{{"ok.txt", "1"}}));

  // writing leaves out label images on request
  ASSERT_TRUE(put("/ram/l/label.png", "png"));
  ASSERT_TRUE(put("/ram/l/main.lua", "m"));
  buffer_owner labelled(create_buffer_2(0, 0));
  ASSERT_TRUE(write_kvt_rom_from_ram_files(labelled.get(), "/ram/l", kvt_rom_skip_labels));
  entry_list back;
  labelled->position = 0;
  EXPECT_EQ(read_kvt_rom_entries(labelled.get(), "", &back), kvt_rom_kind::cart);
  EXPECT_EQ(back, (entry_list{{"main.lua", "m"}}));
}

} // namespace
