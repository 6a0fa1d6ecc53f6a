// File slots and mounts: resolution, RAM and host files, folders, copying,
// deleting, early clearing and the limits.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "kernel/held_memory.h"
#include "pdisk/file_ops.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"
#include "pdisk/ram_folder.h"
#include "vfs_fixture.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// A cartridge-shaped mount: mount point on a file path, origin a RAM folder
// under "/ram/mount/", clean.
void add_cart_mount(const std::string &mount_point, const std::string &folder) {
  ASSERT_EQ(pmkdir(folder), 0);
  pmount m;
  m.kind = pmount_ram;
  m.mount_point = mount_point;
  m.origin = folder;
  ASSERT_TRUE(append_pmount(m));
}

pmount *find_mount(const std::string &mount_point) {
  for (pmount &m : pmount_table)
    if (m.mount_point == mount_point) return &m;
  return nullptr;
}

std::vector<std::string> host_folder_names(const std::string &dir) {
  std::vector<std::string> names;
  for (const auto &e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(Vfs, ResolvesThroughTheDeepestMount) {
  resolved_path r = resolve_to_origin("/ram/x", false);
  EXPECT_EQ(r.kind, pmount_ram);
  EXPECT_EQ(r.origin, "/ram/x");
  r = resolve_to_origin("/ramx", false);
  EXPECT_EQ(r.kind, pmount_host);
  EXPECT_EQ(r.origin, host + "/ramx");
  r = resolve_to_origin("/", false);
  EXPECT_EQ(r.origin, host);
  EXPECT_EQ(resolve_to_origin("a b", false).kind, 0);

  // a mount at "/" itself joins with one '/' (alone: it would tie with the host's)
  pfile_reset();
  ASSERT_TRUE(mount_ram_folder("/ram"));
  ASSERT_TRUE(mount_p_path("/", "/ram/root"));
  EXPECT_EQ(resolve_to_origin("/q", false).origin, "/ram/root/q");
  EXPECT_EQ(resolve_to_origin("/", false).origin, "/ram/root");
  EXPECT_EQ(resolve_to_origin("/ram/x", false).origin, "/ram/x");
  EXPECT_EQ(join_origin("", "a"), "/a");
  EXPECT_EQ(join_origin("/h/", "/a"), "/h/a");
  EXPECT_EQ(join_origin("/h", ""), "/h");

  // skip_self passes over the mount that stands on the path itself
  add_cart_mount("/ram/c.kvt", "/ram/mount/abcdefgh");
  EXPECT_EQ(resolve_to_origin("/ram/c.kvt", false).origin, "/ram/mount/abcdefgh");
  EXPECT_EQ(resolve_to_origin("/ram/c.kvt", true).origin, "/ram/c.kvt");
  EXPECT_EQ(resolve_to_origin("/ram/c.kvt/main.lua", false).origin, "/ram/mount/abcdefgh/main.lua");
}

TEST_F(Vfs, TiesGoToTheEarlierMount) {
  std::filesystem::create_directories(host + "/one");
  std::filesystem::create_directories(host + "/two");
  ASSERT_TRUE(mount_host_path("/d", host + "/one"));
  ASSERT_TRUE(mount_host_path("/d/", host + "/two/"));
  EXPECT_EQ(resolve_to_origin("/d/f", false).origin, host + "/one/f");
  EXPECT_EQ(get_mount_description("/d").value_or("-"), "host:" + host + "/one");
  EXPECT_EQ(get_mount_description("/ram").value_or("-"), "/ram");
  EXPECT_FALSE(get_mount_description("/nothing"));
}

TEST_F(Vfs, NoMountForAPathEndsTheProgram) {
  pfile_reset();
  ASSERT_TRUE(mount_ram_folder("/ram"));
  CaptureStdout();
  pid_t child = fork();
  if (child == 0) {
    resolve_to_origin("/elsewhere", false);
    _exit(99);
  }
  int status = 0;
  waitpid(child, &status, 0);
  std::string said = GetCapturedStdout();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(said.find("** fatal: could not resolve file to origin: /elsewhere"), std::string::npos);
  EXPECT_NE(said.find("mount 0 kind: 2 isr:1 mount_point: /ram"), std::string::npos);
}

TEST_F(Vfs, RamFilesAreTheirSlots) {
  EXPECT_EQ(pfopen("/ram/missing", "r"), nullptr);
  pfile *f = pfopen("/ram/a.txt", "w");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->kind, pfile_ram);
  EXPECT_EQ(f->path, "/ram/a.txt");
  EXPECT_EQ(pfwrite("hello", 1, 5, f), 5);
  EXPECT_TRUE(pfclose(f));
  EXPECT_EQ(f->kind, pfile_ram); // a RAM file keeps its slot
  EXPECT_EQ(f->mode[0], 0);

  pfile *again = pfopen("/ram/a.txt", "r");
  EXPECT_EQ(again, f);
  char text[8] = {};
  EXPECT_EQ(pfread(text, 1, 8, again), 5);
  EXPECT_STREQ(text, "hello");
  pfclose(again);

  pfile *w = pfopen("/ram/a.txt", "w");
  EXPECT_EQ(w, f);
  EXPECT_EQ(w->data->length, 0); // a second "w" empties it
  pfwrite("abc", 1, 3, w);
  pfclose(w);
  pfile *a = pfopen("/ram/a.txt", "a");
  EXPECT_EQ(a->data->position, 3);
  pfwrite("def", 1, 3, a);
  pfclose(a);
  EXPECT_EQ(get("/ram/a.txt"), "abcdef");
  EXPECT_EQ(pfile_size("/ram/a.txt", false), 6);
  EXPECT_TRUE(pdisk_file_exists("/ram/a.txt"));
  EXPECT_FALSE(pdisk_file_exists("/ram/b.txt"));
  EXPECT_EQ(pfopen("/ram/a.txt", "x"), nullptr);
  EXPECT_FALSE(pfclose(nullptr));
}

TEST_F(Vfs, RamFoldersAndDirtyMounts) {
  EXPECT_EQ(pmkdir("/ram/f"), 0);
  EXPECT_EQ(pmkdir("/ram/f"), 1);
  EXPECT_EQ(pmkdir("bad path"), 1);
  EXPECT_EQ(pfopen("/ram/f", "r"), nullptr); // a folder is not a file
  EXPECT_EQ(pfopen("/ram/f", "w"), nullptr);
  EXPECT_TRUE(pdisk_directory_exists("/ram/f", false));
  EXPECT_FALSE(pdisk_directory_exists("/ram/g", false));
  EXPECT_FALSE(pdisk_file_exists("/ram/f"));

  add_cart_mount("/ram/c.kvt", "/ram/mount/abcdefgh");
  pmount *cart = find_mount("/ram/c.kvt");
  EXPECT_EQ(cart->dirty, 0);
  int64_t before = pdisk_now();
  ASSERT_TRUE(put("/ram/c.kvt/main.lua", "print(1)"));
  cart = find_mount("/ram/c.kvt");
  EXPECT_EQ(cart->dirty, 1);
  EXPECT_GE(cart->flush_deadline, before + pmount_flush_delay_ms);
  EXPECT_LE(cart->flush_deadline, pdisk_now() + pmount_flush_delay_ms);
  int64_t deadline = cart->flush_deadline;
  ASSERT_TRUE(put("/ram/c.kvt/main.lua", "print(2)"));
  EXPECT_EQ(find_mount("/ram/c.kvt")->flush_deadline, deadline); // not moved by a second write
  EXPECT_EQ(get("/ram/mount/abcdefgh/main.lua"), "print(2)");

  // reading leaves the mount as it was
  find_mount("/ram/c.kvt")->dirty = 0;
  EXPECT_EQ(get("/ram/c.kvt/main.lua"), "print(2)");
  EXPECT_EQ(find_mount("/ram/c.kvt")->dirty, 0);

  // a mounted cartridge counts as a folder when followed
  EXPECT_TRUE(pdisk_directory_exists("/ram/c.kvt", true));
  ASSERT_TRUE(mount_p_path("/ram/alias", "/ram/nothing"));
  EXPECT_FALSE(pdisk_directory_exists("/ram/alias", true));
  ASSERT_EQ(pmkdir("/ram/nothing"), 0);
  EXPECT_TRUE(pdisk_directory_exists("/ram/alias", true));
  EXPECT_EQ(pdisk_count_slots_by_kind(pfile_ram), 4);
}

TEST_F(Vfs, HostFilesAreReadWholeAndWrittenAtClose) {
  host_put("notes.txt", "line one\nline two\n");
  pfile *f = pfopen("/notes.txt", "r");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->kind, pfile_host);
  EXPECT_EQ(f->origin, host + "/notes.txt");
  EXPECT_EQ(f->data->length, 18);
  EXPECT_TRUE(pfclose(f));
  EXPECT_EQ(f->kind, pfile_free); // a host slot lives only while open
  EXPECT_EQ(pdisk_count_slots_by_kind(pfile_host), 0);

  pfile *w = pfopen("/out.txt", "w");
  ASSERT_NE(w, nullptr);
  pfwrite("new", 1, 3, w);
  EXPECT_FALSE(host_get("out.txt")); // nothing reaches the host before the close
  EXPECT_TRUE(pfclose(w));
  EXPECT_EQ(host_get("out.txt"), "new");

  pfile *a = pfopen("/out.txt", "a");
  ASSERT_NE(a, nullptr);
  pfwrite("er", 1, 2, a);
  EXPECT_TRUE(pfclose(a));
  EXPECT_EQ(host_get("out.txt"), "newer");
  EXPECT_EQ(pfile_size("/out.txt", false), 5);
  EXPECT_TRUE(pdisk_file_exists("/out.txt"));

  pfile *probe = pfopen("/out.txt", "re");
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(probe->data->length, 0);
  pfclose(probe);

  std::string big(200000, 'q');
  host_put("big.bin", big);
  EXPECT_EQ(get("/big.bin")->size(), big.size());
  EXPECT_EQ(get("/big.bin", "rm")->size(), 65536u); // stops once past 64 KB
  EXPECT_EQ(host_folder_names(host), (std::vector<std::string>{"big.bin", "notes.txt", "out.txt"}));
}

TEST_F(Vfs, HostFoldersAreNeverFiles) {
  std::filesystem::create_directories(host + "/dir");
  EXPECT_EQ(pfopen("/dir", "r"), nullptr);
  EXPECT_EQ(pfopen("/dir", "re"), nullptr);
  EXPECT_EQ(pfopen("/dir", "w"), nullptr);
  EXPECT_FALSE(pdisk_file_exists("/dir"));
  EXPECT_TRUE(pdisk_directory_exists("/dir", false));
  EXPECT_EQ(pfopen("/missing/x.txt", "w"), nullptr); // no folder to write into
  EXPECT_EQ(pfopen("/missing.txt", "r"), nullptr);
  EXPECT_EQ(pdisk_count_slots_by_kind(pfile_host), 0);

  EXPECT_EQ(pmkdir("/made"), 0);
  EXPECT_TRUE(host_directory_exists(host + "/made"));
  EXPECT_NE(pmkdir("/made"), 0);
}

TEST_F(Vfs, AFailedHostWriteKeepsTheOriginal) {
  host_put("keep.txt", "the original");
  CaptureStdout();
  pid_t child = fork();
  if (child == 0) {
    // Runs without the test framework: the exit code is the verdict.
    signal(SIGXFSZ, SIG_IGN);
    rlimit small{64, 64};
    setrlimit(RLIMIT_FSIZE, &small);
    pfile *f = pfopen("/keep.txt", "w");
    if (!f) _exit(2);
    std::string text(4096, 'x');
    pfwrite(text.data(), 1, int64_t(text.size()), f);
    bool written = pfclose(f);
    fflush(stdout);
    _exit(written ? 3 : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  std::string said = GetCapturedStdout();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: not opened, 3: reported as written";
  EXPECT_EQ(host_get("keep.txt"), "the original");
  EXPECT_EQ(host_folder_names(host), std::vector<std::string>{"keep.txt"}); // no temporary left
  EXPECT_NE(said.find("** could not write /keep.txt"), std::string::npos);
}

TEST_F(Vfs, CopiesFiles) {
  ASSERT_TRUE(put("/ram/a.txt", "ram bytes"));
  EXPECT_EQ(fcopy("/ram/a.txt", "/b.txt"), 9);
  EXPECT_EQ(host_get("b.txt"), "ram bytes");
  EXPECT_EQ(fcopy("/b.txt", "/ram/c.txt"), 9);
  EXPECT_EQ(get("/ram/c.txt"), "ram bytes");
  EXPECT_EQ(fcopy("/ram/missing", "/ram/d.txt"), 0);
  EXPECT_FALSE(pdisk_file_exists("/ram/d.txt"));
  EXPECT_EQ(fcopy("/ram/a.txt", "bad path"), 0);

  // onto itself, directly or through another mount, the file stays
  EXPECT_EQ(fcopy("/ram/a.txt", "/ram/a.txt"), 9);
  EXPECT_EQ(get("/ram/a.txt"), "ram bytes");
  ASSERT_TRUE(mount_p_path("/alias", "/ram"));
  EXPECT_EQ(fcopy("/alias/a.txt", "/ram/a.txt"), 9);
  EXPECT_EQ(get("/ram/a.txt"), "ram bytes");
  EXPECT_EQ(fcopy("/b.txt", "/./b.txt"), 9);
  EXPECT_EQ(host_get("b.txt"), "ram bytes");
  EXPECT_EQ(pdisk_count_slots_by_kind(pfile_host), 0);
}

TEST_F(Vfs, DeletesFilesFoldersAndMounts) {
  host_put("h/one.txt", "1");
  delete_path("/h/one.txt");
  EXPECT_FALSE(host_get("h/one.txt"));
  delete_path("/h");
  EXPECT_FALSE(std::filesystem::exists(host + "/h"));
  delete_path("/"); // the folder under the root mount stays, empty as it is
  EXPECT_TRUE(std::filesystem::is_directory(host));

  ASSERT_EQ(pmkdir("/ram/f"), 0);
  ASSERT_TRUE(put("/ram/f/a", "a"));
  ASSERT_TRUE(put("/ram/f/sub/b", "b"));
  ASSERT_TRUE(put("/ram/fx", "x"));
  delete_path("/ram/f/a");
  EXPECT_FALSE(pdisk_file_exists("/ram/f/a"));
  EXPECT_TRUE(pdisk_file_exists("/ram/f/sub/b"));
  delete_path("/ram/f");
  EXPECT_FALSE(pdisk_directory_exists("/ram/f", false));
  EXPECT_FALSE(pdisk_file_exists("/ram/f/sub/b"));
  EXPECT_TRUE(pdisk_file_exists("/ram/fx")); // a neighbour with the same prefix

  add_cart_mount("/ram/c.kvt", "/ram/mount/abcdefgh");
  ASSERT_TRUE(put("/ram/c.kvt/main.lua", "x"));
  find_mount("/ram/c.kvt")->dirty = 0;
  delete_path("/ram/c.kvt/main.lua");
  EXPECT_FALSE(pdisk_file_exists("/ram/mount/abcdefgh/main.lua"));
  EXPECT_EQ(find_mount("/ram/c.kvt")->dirty, 1);
  ASSERT_TRUE(put("/ram/c.kvt/other", "y"));
  EXPECT_EQ(delete_mount_point("/ram/c.kvt"), 1);
  EXPECT_FALSE(find_mount("/ram/c.kvt"));
  EXPECT_FALSE(pdisk_file_exists("/ram/mount/abcdefgh/other"));
  EXPECT_EQ(delete_mount_point("/ram/c.kvt"), 0);
  EXPECT_FALSE(block_automounting);
}

TEST_F(Vfs, AMountUnderItsOwnPointDeletesWithoutDescending) {
  ASSERT_EQ(pmkdir("/ram/mount/x/y"), 0);
  ASSERT_TRUE(mount_p_path("/ram/mount/x", "/ram/mount/x/y"));
  pfile *f = pfopen("/ram/mount/x/z", "w");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->origin, "/ram/mount/x/y/z");
  pfclose(f);
  EXPECT_EQ(pdisk_count_slots_by_kind(pfile_ram), 2);
  delete_path("/ram/mount/x/z");
  EXPECT_FALSE(pdisk_file_exists("/ram/mount/x/z"));
  EXPECT_EQ(pdisk_count_slots_by_kind(pfile_ram), 1); // the folder made first
}

TEST_F(Vfs, MountTableStopsShortOfItsFatalLimit) {
  CaptureStdout();
  int script = 0;
  while (mount_p_path("/m" + std::to_string(script), "/ram")) script++;
  EXPECT_EQ(int(pmount_table.size()), pmount_script_refuse_at);
  int system = 0;
  while (mount_ram_folder("/r" + std::to_string(system))) system++;
  EXPECT_EQ(int(pmount_table.size()), pmount_refuse_at);
  EXPECT_FALSE(mount_host_path("/h", host));
  EXPECT_LT(int(pmount_table.size()), pmount_max);
  EXPECT_FALSE(mount_p_path("bad path", "/ram"));
  EXPECT_FALSE(mount_ram_folder("-x"));
  EXPECT_NE(GetCapturedStdout().find("** too many mounts; not mounting /h"), std::string::npos);
}

class EarlyClearing : public Vfs {
 protected:
  // Fills RAM files until exactly `free` slots remain.
  void fill_until_free(int free) {
    for (int i = 0; pfile_free_count() > free; i++) {
      pfile *f = pfopen("/ram/fill/" + std::to_string(i), "w");
      ASSERT_NE(f, nullptr);
      pfclose(f);
    }
  }
};

TEST_F(EarlyClearing, DropsCleanCartridgesWhenSlotsRunLow) {
  add_cart_mount("/ram/c.kvt", "/ram/mount/abcdefgh");
  ASSERT_TRUE(put("/ram/c.kvt/a", "a"));
  ASSERT_TRUE(put("/ram/c.kvt/b", "b"));
  add_cart_mount("/ram/d.kvt", "/ram/mount/dirtyone");
  ASSERT_TRUE(put("/ram/d.kvt/a", "a"));
  find_mount("/ram/c.kvt")->dirty = 0; // as if written back
  pending_prune = false;

  fill_until_free(pfile_low_water + 1);
  ASSERT_NE(pfopen("/ram/one-more", "w"), nullptr); // 8,192 free: no clearing yet
  EXPECT_FALSE(pending_prune);
  EXPECT_EQ(pfile_free_count(), pfile_low_water);
  int used = pfile_max - pfile_free_count();

  CaptureStdout();
  ASSERT_NE(pfopen("/ram/next", "w"), nullptr);
  std::string said = GetCapturedStdout();
  EXPECT_TRUE(pending_prune);
  // c's three slots go; d is written back first (its file takes a slot), then
  // goes with its two.
  EXPECT_EQ(said, "@@@@ early clearing; " + std::to_string(used) + " -> " +
                      std::to_string(used - 4) + "\n");
  EXPECT_FALSE(find_mount("/ram/c.kvt"));
  EXPECT_FALSE(find_mount("/ram/d.kvt"));
  std::optional<std::string> d = get("/ram/d.kvt", "rf");
  ASSERT_TRUE(d);
  EXPECT_NE(d->find(":: a\nb64$YQ==\n"), std::string::npos) << *d;
  EXPECT_TRUE(find_mount("/ram"));
  EXPECT_FALSE(pdisk_file_exists("/ram/mount/abcdefgh/a"));

  // reopening an existing file takes no slot, so it clears nothing
  pending_prune = false;
  CaptureStdout();
  EXPECT_NE(pfopen("/ram/next", "r"), nullptr);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_FALSE(pending_prune);
}

TEST_F(EarlyClearing, KeepsACartridgeWhoseFileIsHeld) {
  add_cart_mount("/ram/c.kvt", "/ram/mount/abcdefgh");
  ASSERT_TRUE(put("/ram/c.kvt/a", "held bytes"));
  find_mount("/ram/c.kvt")->dirty = 0;
  fill_until_free(pfile_low_water);

  pfile *held = pfopen("/ram/c.kvt/a", "r");
  ASSERT_NE(held, nullptr);
  CaptureStdout();
  EXPECT_EQ(fcopy("/ram/c.kvt/a", "/ram/copy"), 10); // the copy's new slot clears early
  GetCapturedStdout();
  EXPECT_EQ(held->kind, pfile_ram);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(held->data->data), 10), "held bytes");
  EXPECT_TRUE(find_mount("/ram/c.kvt"));
  pfclose(held);

  CaptureStdout();
  ASSERT_NE(pfopen("/ram/later", "w"), nullptr); // nothing held now
  GetCapturedStdout();
  EXPECT_FALSE(find_mount("/ram/c.kvt"));
  EXPECT_EQ(get("/ram/copy"), "held bytes");
}

TEST_F(EarlyClearing, RunningOutOfSlotsIsReported) {
  CaptureStdout();
  for (int i = 0; pfile_free_count() > 0; i++)
    ASSERT_NE(pfopen("/ram/fill/" + std::to_string(i), "w"), nullptr);
  GetCapturedStdout();
  CaptureStdout();
  EXPECT_EQ(pfopen("/ram/none", "w"), nullptr);
  EXPECT_EQ(pmkdir("/ram/nofolder"), 2);
  std::string said = GetCapturedStdout();
  EXPECT_NE(said.find("** too many files **\n"), std::string::npos);
  EXPECT_NE(said.find("** too many files (during mkdir) **\n"), std::string::npos);
  // existing files still open
  EXPECT_NE(pfopen("/ram/fill/0", "r"), nullptr);
}

// RAM files hold their bytes against the RAM file space: whatever is written
// past it is refused, and no refusal empties a file that was there.
TEST_F(Vfs, TheRamFileSpaceIsBoundedAndLosesNoFile) {
  const int64_t saved_room = ram_files_room;
  ram_files_room = 64 << 10;
  const std::string big(40 << 10, 'b'), other(30 << 10, 'o');
  auto free_space = [] { return host_memory_room(ram_files_holder); };

  ASSERT_TRUE(store_file_bytes("/ram/a", "w", big));
  EXPECT_FALSE(store_file_bytes("/ram/b", "w", big));
  EXPECT_FALSE(pdisk_file_exists("/ram/b"));
  EXPECT_TRUE(store_file_bytes("/ram/a", "w", std::string(60 << 10, 'c'))) << "its old bytes make room";
  EXPECT_FALSE(store_file_bytes("/ram/a", "w", std::string(70 << 10, 'd')));
  EXPECT_EQ(get("/ram/a"), std::string(60 << 10, 'c'));

  // A copy and a capture-like write into an existing file refuse up front.
  ASSERT_TRUE(store_file_bytes("/ram/small", "w", "small"));
  EXPECT_EQ(fcopy("/ram/a", "/ram/small"), 0);
  EXPECT_EQ(get("/ram/small"), "small");

  // Writes through an open file stop at the space; a cartridge folder filled
  // past it is not whole, so its mount never writes the cut files back.
  pfile *f = pfopen("/ram/grow", "w");
  ASSERT_NE(f, nullptr);
  EXPECT_LT(pfwrite(other.data(), 1, int64_t(other.size()), f), int64_t(other.size()));
  pfclose(f);
  ASSERT_EQ(pmkdir("/ram/cart"), 0);
  EXPECT_LT(store_cart_entries_in_ram_folder("/ram/cart", {{"x.txt", other}, {"y.txt", "y"}}), 2);

  // Deleting and the reset give every byte back.
  EXPECT_LT(free_space(), 8 << 10);
  delete_path("/ram/a");
  EXPECT_TRUE(store_file_bytes("/ram/b", "w", big));
  pfile_reset();
  EXPECT_EQ(free_space(), ram_files_room);
  ram_files_room = saved_room;
}

TEST_F(Vfs, ResetFreesRamSlotsAndMounts) {
  ASSERT_TRUE(put("/ram/a", "a"));
  ASSERT_EQ(pmkdir("/ram/f"), 0);
  pfile_reset();
  EXPECT_TRUE(pmount_table.empty());
  EXPECT_EQ(pdisk_count_slots_by_kind(pfile_ram), 0);
  EXPECT_EQ(pfile_free_count(), pfile_max);
  ASSERT_TRUE(mount_ram_folder("/ram"));
  EXPECT_EQ(pfopen("/ram/a", "r"), nullptr);
}

} // namespace
