// Cartridges met on a path: mounting, delayed and immediate write-back,
// nesting, pruning, and the cartridges that must never be overwritten.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "kernel/process.h"
#include "kernel/system.h"
#include "pdisk/cart_mount.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"
#include "pdisk/rom_form.h"
#include "pdisk/text_form.h"
#include "vfs_fixture.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using entries = std::vector<cart_entry>;

std::string rom_bytes(const entries &e) {
  buffer_owner b(create_buffer_2(0, 0));
  EXPECT_TRUE(write_kvt_rom_entries(b.get(), e, 0));
  return std::string(reinterpret_cast<char *>(b->data), size_t(b->length));
}

entries rom_entries(const std::string &bytes) {
  entries e;
  EXPECT_EQ(decode_kvt_rom(reinterpret_cast<const uint8_t *>(bytes.data()), int64_t(bytes.size()), "",
                           &e),
            kvt_rom_kind::cart);
  return e;
}

entries text_entries(const std::string &bytes) {
  entries e;
  EXPECT_EQ(decode_kvt_text(reinterpret_cast<const uint8_t *>(bytes.data()), int64_t(bytes.size()),
                            "", &e),
            kvt_text_kind::cart);
  return e;
}

std::string repeat(const std::string &s, int n) {
  std::string out;
  for (int i = 0; i < n; i++) out += s;
  return out;
}

int count_mounts(const std::string &mount_point) {
  int n = 0;
  for (const pmount &m : pmount_table) n += m.mount_point == mount_point;
  return n;
}

pmount *mount_at(const std::string &mount_point) {
  for (pmount &m : pmount_table)
    if (m.mount_point == mount_point) return &m;
  return nullptr;
}

// As if the write-back delay had passed for every dirty mount.
void expire_deadlines() {
  for (pmount &m : pmount_table)
    if (m.dirty) m.flush_deadline = 1;
}

class Carts : public Vfs {
 protected:
  void SetUp() override {
    Vfs::SetUp();
    app = app_record{};
    CaptureStdout();
  }
  void TearDown() override {
    said = GetCapturedStdout();
    app = app_record{};
    Vfs::TearDown();
  }
  std::string said;
};

TEST_F(Carts, APathThroughACartridgeMountsItOnce) {
  host_put("game.kvt", encode_kvt_text({{"main.lua", "print(1)\n"}, {"gfx/", ""}}, false));
  std::filesystem::create_directories(host + "/x.kvt"); // a real folder named like one
  host_put("x.kvt/inside.txt", "plain");

  EXPECT_EQ(get("/game.kvt/main.lua"), "print(1)\n");
  EXPECT_EQ(get("/game.kvt/main.lua"), "print(1)\n");
  EXPECT_EQ(count_mounts("/game.kvt"), 1);
  EXPECT_TRUE(pdisk_directory_exists("/game.kvt", true));
  EXPECT_TRUE(pdisk_directory_exists("/game.kvt/gfx", true));
  EXPECT_TRUE(mount_at("/game.kvt")->origin.starts_with("/ram/mount/"));
  EXPECT_EQ(mount_at("/game.kvt")->origin.size(), std::string("/ram/mount/abcdefgh").size());

  EXPECT_EQ(get("/x.kvt/inside.txt"), "plain");
  EXPECT_EQ(count_mounts("/x.kvt"), 0);
  // No such cartridge: the path resolves into the host folder and finds nothing.
  EXPECT_EQ(get("/none.kvt/main.lua"), std::nullopt);
  EXPECT_EQ(count_mounts("/none.kvt"), 0);

  // A hostile path of endless cartridge names is looked at only so far.
  struct row {
    std::string path;
    int64_t probes_max;
  };
  const std::vector<row> rows = {
      {repeat("/a.kvt", 2000), automount_names_max},
      {repeat("/" + std::string(200, 'x'), 25) + repeat("/a.kvt", 2000), 0},
  };
  for (const row &r : rows) {
    int64_t calls = total_pdisk_calls;
    EXPECT_EQ(get(r.path), std::nullopt);
    EXPECT_LE(total_pdisk_calls - calls, r.probes_max + 1) << r.path.substr(0, 20);
  }
}

TEST_F(Carts, WritesGoBackAfterTheDelayInTheirForm) {
  std::string old_rom = rom_bytes({{"a.txt", "one"}});
  host_put("c.kvt.rom", old_rom);
  ASSERT_TRUE(put("/c.kvt.rom/a.txt", "two"));
  ASSERT_TRUE(put("/c.kvt.rom/sub/b.bin", std::string("\0\1\2", 3)));
  pmount *m = mount_at("/c.kvt.rom");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->dirty, 1);
  int64_t deadline = m->flush_deadline;
  EXPECT_GE(deadline, pdisk_now() + pmount_flush_delay_ms - 50);
  ASSERT_TRUE(put("/c.kvt.rom/a.txt", "three"));
  EXPECT_EQ(mount_at("/c.kvt.rom")->flush_deadline, deadline); // a second change does not move it

  flush_dirty_mounts_delayed();
  EXPECT_EQ(host_get("c.kvt.rom"), old_rom); // before the deadline nothing reaches the host
  expire_deadlines();
  flush_dirty_mounts_delayed();
  EXPECT_EQ(rom_entries(*host_get("c.kvt.rom")),
            (entries{{"a.txt", "three"}, {"sub/b.bin", std::string("\0\1\2", 3)}}));
  EXPECT_EQ(mount_at("/c.kvt.rom")->dirty, 0);
  EXPECT_EQ(mount_at("/c.kvt.rom")->flush_deadline, 0);

  // The text form, made by mkdir: an empty cartridge is written on the next write-back.
  ASSERT_EQ(pmkdir("/fresh.kvt"), 0);
  expire_deadlines();
  flush_dirty_mounts_delayed();
  EXPECT_EQ(host_get("fresh.kvt"), std::string(kvt_text_header) + "\nversion 2\n\n:: [eoc]\n");
  // A trailing '/' names the same cartridge, not a folder.
  ASSERT_EQ(pmkdir("/slash.kvt/"), 0);
  flush_dirty_mounts_immediately();
  EXPECT_EQ(host_get("slash.kvt"), std::string(kvt_text_header) + "\nversion 2\n\n:: [eoc]\n");
  // A name with further dots keeps its form.
  ASSERT_EQ(pmkdir("/my.game.kvt"), 0);
  ASSERT_TRUE(put("/my.game.kvt/main.lua", "y"));
  flush_dirty_mounts_immediately();
  EXPECT_EQ(text_entries(*host_get("my.game.kvt")), (entries{{"main.lua", "y"}}));
}

TEST_F(Carts, APngCartridgeIsWrittenBackAsAPicture) {
  ASSERT_EQ(pmkdir("/art.kvt.png"), 0);
  ASSERT_TRUE(put("/art.kvt.png/main.lua", "z"));
  flush_dirty_mounts_immediately();
  std::optional<std::string> file = host_get("art.kvt.png");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(mount_at("/art.kvt.png")->dirty, 0);
}

TEST_F(Carts, NestedCartridgesReachTheHostInOnePass) {
  std::string inner = encode_kvt_text({{"main.lua", "inner 1"}}, false);
  host_put("outer.kvt.rom", rom_bytes({{"inner.kvt", inner}, {"readme.txt", "hi"}}));
  EXPECT_EQ(get("/outer.kvt.rom/inner.kvt/main.lua"), "inner 1");
  EXPECT_EQ(count_mounts("/outer.kvt.rom"), 1);
  EXPECT_EQ(count_mounts("/outer.kvt.rom/inner.kvt"), 1);

  // Delayed: the inner file first; its close makes the outer one dirty.
  ASSERT_TRUE(put("/outer.kvt.rom/inner.kvt/main.lua", "inner 2"));
  expire_deadlines();
  flush_dirty_mounts_delayed();
  EXPECT_EQ(mount_at("/outer.kvt.rom/inner.kvt")->dirty, 0);
  EXPECT_EQ(mount_at("/outer.kvt.rom")->dirty, 1);
  EXPECT_GT(mount_at("/outer.kvt.rom")->flush_deadline, pdisk_now());

  // Immediate: both in one call, even when the outer mount was pruned and
  // comes back behind the inner one in the table.
  ASSERT_TRUE(put("/outer.kvt.rom/inner.kvt/main.lua", "inner 3"));
  mount_at("/outer.kvt.rom")->dirty = 0;
  delete_clean_ram_mounts();
  EXPECT_EQ(count_mounts("/outer.kvt.rom"), 0);
  flush_dirty_mounts_immediately();
  for (const pmount &m : pmount_table) EXPECT_EQ(m.dirty, 0) << m.mount_point;
  entries outer = rom_entries(*host_get("outer.kvt.rom"));
  ASSERT_EQ(outer.size(), 2u);
  EXPECT_EQ(outer[1], (cart_entry{"readme.txt", "hi"}));
  EXPECT_EQ(text_entries(outer[0].data), (entries{{"main.lua", "inner 3"}}));

  // A nested cartridge made by mkdir reads its enclosing cartridge first.
  pfile_reset();
  ASSERT_TRUE(mount_host_path("/", host + "/"));
  ASSERT_TRUE(mount_ram_folder("/ram"));
  ASSERT_EQ(pmkdir("/outer.kvt.rom/inner.kvt"), 0);
  EXPECT_EQ(get("/outer.kvt.rom/inner.kvt/main.lua"), "inner 3");
}

TEST_F(Carts, CartridgesThatCouldNotBeReadAreNeverOverwritten) {
  struct unreadable {
    const char *name;
    std::string bytes;
  };
  std::string damaged = rom_bytes({{"a.txt", std::string(4000, 'a')}});
  damaged.resize(damaged.size() / 2);
  const std::vector<unreadable> cases = {
      {"pic.kvt.png", "\x89PNG not really"},
      {"future.kvt", "kestrune cartridge\nversion 9\n\n:: a.txt\nx\n:: [eoc]\n"},
      {"cut.kvt", "kestrune cartridge\nversion 2\n\n:: a.txt\nx\n"},
      {"broken.kvt.rom", damaged},
      {"named.kvt", encode_kvt_text({{"b@d.txt", "x"}}, false)},
      {"nul.kvt.rom", std::string("print(1)\0tail", 13)},
  };
  for (const unreadable &c : cases) {
    host_put(c.name, c.bytes);
    ASSERT_TRUE(put(std::string("/") + c.name + "/new.txt", "new")) << c.name;
    ASSERT_TRUE(mount_at(std::string("/") + c.name)) << c.name;
    EXPECT_TRUE(mount_at(std::string("/") + c.name)->keep_file) << c.name;
  }
  flush_dirty_mounts_immediately();
  for (const unreadable &c : cases) {
    EXPECT_EQ(host_get(c.name), c.bytes) << c.name;
    EXPECT_EQ(mount_at(std::string("/") + c.name)->dirty, 0) << c.name;
  }
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("kvt.png loader not supported in this build."), std::string::npos);
  EXPECT_NE(out.find("** not writing back /future.kvt: its cartridge file could not be read whole"),
            std::string::npos);
  CaptureStdout();

  // Readable ones are rewritten: an empty file, a plain program.
  host_put("empty.kvt", "");
  host_put("prog.kvt.rom", "print(2)");
  for (const char *name : {"empty.kvt", "prog.kvt.rom"}) {
    ASSERT_TRUE(put(std::string("/") + name + "/new.txt", "new"));
    EXPECT_FALSE(mount_at(std::string("/") + name)->keep_file) << name;
  }
  flush_dirty_mounts_immediately();
  EXPECT_EQ(text_entries(*host_get("empty.kvt")), (entries{{"new.txt", "new"}}));
  EXPECT_EQ(rom_entries(*host_get("prog.kvt.rom")), (entries{{"main.lua", "print(2)"}, {"new.txt", "new"}}));
}

TEST_F(Carts, AFailedWriteBackStaysDirtyAndIsTriedAgain) {
  host_put("c.kvt", encode_kvt_text({{"a.txt", "old"}}, false));
  ASSERT_TRUE(put("/c.kvt/a.txt", "new"));
  // The cartridge file turns into a folder: nothing can be written there.
  std::filesystem::remove(host_path("c.kvt"));
  std::filesystem::create_directories(host_path("c.kvt"));
  flush_dirty_mounts_immediately();
  pmount *m = mount_at("/c.kvt");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->dirty, 1);
  EXPECT_EQ(m->write_failures, 1);
  EXPECT_GT(m->flush_deadline, pdisk_now());
  flush_dirty_mounts_immediately();
  EXPECT_EQ(mount_at("/c.kvt")->write_failures, 2); // waits longer each time

  std::filesystem::remove(host_path("c.kvt"));
  flush_dirty_mounts_delayed(); // still waiting
  EXPECT_FALSE(host_get("c.kvt"));
  expire_deadlines();
  flush_dirty_mounts_delayed();
  EXPECT_EQ(text_entries(*host_get("c.kvt")), (entries{{"a.txt", "new"}}));
  EXPECT_EQ(mount_at("/c.kvt")->dirty, 0);
  EXPECT_EQ(mount_at("/c.kvt")->write_failures, 0);
}

TEST_F(Carts, ShutdownHolderBlockedMountsAndPruning) {
  ASSERT_TRUE(processes_init());
  process *holder = create_process_from_code("", "holder", "/h.lua");
  ASSERT_TRUE(holder);
  host_put("c.kvt", encode_kvt_text({{"a.txt", "old"}}, false));
  std::string old = *host_get("c.kvt");
  ASSERT_TRUE(put("/c.kvt/a.txt", "new"));
  app.shutdown_holder = holder->id;
  pending_prune = true;
  expire_deadlines();
  flush_dirty_mounts_delayed();
  flush_dirty_mounts_immediately();
  prune_mounts();
  EXPECT_EQ(host_get("c.kvt"), old);
  EXPECT_TRUE(pending_prune); // waits for the holder
  app.shutdown_holder = 0;
  prune_mounts();
  EXPECT_FALSE(pending_prune);
  EXPECT_EQ(text_entries(*host_get("c.kvt")), (entries{{"a.txt", "new"}}));
  EXPECT_EQ(count_mounts("/c.kvt"), 0); // clean after the write-back: pruned
  processes_init();

  // With new cartridge mounts blocked, the path finds the file's folder.
  app.cart_mount_blocked = 1;
  EXPECT_EQ(get("/c.kvt/a.txt"), std::nullopt);
  EXPECT_EQ(count_mounts("/c.kvt"), 0);
  EXPECT_EQ(pmkdir("/d.kvt"), 1);
  app.cart_mount_blocked = 0;

  // Above 2,040 mounts every frame's prune drops the clean cartridges.
  for (int i = 0; int(pmount_table.size()) <= pmount_prune_above; i++)
    ASSERT_GE(mount_kvt_path("/ram/c" + std::to_string(i) + ".kvt"), 0);
  ASSERT_TRUE(put("/ram/c0.kvt/keep.txt", "dirty"));
  prune_mounts();
  EXPECT_EQ(int(pmount_table.size()), 2); // "/" and "/ram": the dirty one was written first
  EXPECT_EQ(text_entries(*get("/ram/c0.kvt", "rf")), (entries{{"keep.txt", "dirty"}}));
}

TEST_F(Carts, DroppingAnAliasKeepsTheFilesItShares) {
  host_put("c.kvt", encode_kvt_text({{"a.txt", "old"}}, false));
  ASSERT_TRUE(mount_p_path("/alias", "/c.kvt"));
  ASSERT_TRUE(put("/c.kvt/a.txt", "changed"));
  delete_clean_ram_mounts(); // the alias is clean, the cartridge dirty
  EXPECT_EQ(count_mounts("/alias"), 0);
  EXPECT_EQ(get("/c.kvt/a.txt"), "changed");

  // A stale mount is forgotten, not written back over the new file.
  drop_stale_cart_mounts("/c.kvt");
  host_put("c.kvt", encode_kvt_text({{"a.txt", "replaced"}}, false));
  flush_dirty_mounts_immediately();
  EXPECT_EQ(get("/c.kvt/a.txt"), "replaced");
}

} // namespace
