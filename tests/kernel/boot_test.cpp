// A whole reset from data pack records: the file system, the root process and
// the boot script, as start-up and every reboot build them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/process.h"
#include "kernel/system.h"
#include "pdisk/pfile.h"
#include "pdisk/rom_form.h"

#include "lua.hpp"

namespace {

buffer *rom_of(const std::vector<cart_entry> &entries) {
  buffer *b = create_buffer_2(0, 105);
  EXPECT_TRUE(write_kvt_rom_entries(b, entries, 0));
  return b;
}

std::string read_file(const char *path) {
  pfile *f = pfopen(path, "r");
  if (!f) return "(missing)";
  std::string s(reinterpret_cast<const char *>(f->data->data), size_t(f->data->length));
  pfclose(f);
  return s;
}

class Boot : public testing::Test {
 protected:
  void SetUp() override {
    saved_count = dat_files;
    for (int i = 0; i < dat_file_max; i++) saved[i] = dat_file[i];
    set_default_config();
    config.headless = 1;
  }
  void TearDown() override {
    processes_init();
    for (int i = 0; i < dat_files; i++) destroy_buffer(dat_file[i]);
    for (int i = 0; i < dat_file_max; i++) dat_file[i] = saved[i];
    dat_files = saved_count;
    app = app_record{};
  }
  void set_records(std::vector<buffer *> records) {
    dat_files = int(records.size());
    for (size_t i = 0; i < records.size(); i++) dat_file[i] = records[i];
  }
  buffer *saved[dat_file_max];
  int saved_count = 0;
};

TEST_F(Boot, ResetMountsTheSystemAndLoadsBootLuaOntoTheRoot) {
  set_records({create_buffer_from_str(""),
               rom_of({{"system/", ""},
                       {"system/boot.lua", "booted = 'yes' coroutine.yield()"},
                       {"system/lib/", ""},
                       {"system/lib/util.lua", "return 1"}}),
               rom_of({{"main.lua", "print('extra')"}})});
  app.reboot_requested = 1;
  reset_app_state();

  ASSERT_NE(root_process, nullptr);
  EXPECT_EQ(root_process->id, 1);
  EXPECT_EQ(cproc, root_process);
  EXPECT_EQ(app.reboot_requested, 0);
  EXPECT_EQ(app.audio_pid, -2);
  EXPECT_EQ(app.audio_mirror_pid, -3);
  EXPECT_EQ(read_file("/system/boot.lua"), "booted = 'yes' coroutine.yield()");
  EXPECT_EQ(read_file("/system/lib/util.lua"), "return 1");
  EXPECT_TRUE(pdisk_directory_exists("/ram", true));
  EXPECT_EQ(app.expcart_mounted, 1);
  EXPECT_EQ(read_file("/ram/expcart/main.lua"), "print('extra')");

  // The root's first slice runs boot.lua.
  run_process_slice(root_process, 1.0);
  lua_State *L = root_process ? root_process->lua_state : nullptr;
  ASSERT_NE(L, nullptr);
  lua_getglobal(L, "booted");
  EXPECT_STREQ(lua_tostring(L, -1), "yes");
  lua_pop(L, 1);
}

TEST_F(Boot, RebootRebuildsFromTheRecordsAndCountsIdsFromOne) {
  set_records({create_buffer_from_str(""),
               rom_of({{"system/boot.lua", "while true do coroutine.yield() end"}})});
  reset_app_state();
  ASSERT_NE(create_process_from_code("x = 1", "other", "/other.lua"), nullptr);
  EXPECT_EQ(get_process_count(), 2);
  EXPECT_EQ(read_file("/ram/expcart/main.lua"), "(missing)");
  EXPECT_EQ(app.expcart_mounted, 0);

  reset_app_state();
  EXPECT_EQ(get_process_count(), 1);
  EXPECT_EQ(root_process->id, 1);
  EXPECT_EQ(read_file("/system/boot.lua"), "while true do coroutine.yield() end");
}

}  // namespace
