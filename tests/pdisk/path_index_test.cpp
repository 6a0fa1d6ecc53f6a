// The mount and file-slot indexes against walks of the whole tables: random
// mounts (nested, repeated, tied), unmounts, RAM files and folders made and
// freed; after each step every look-up, count and listing must agree with the
// walk, and resolution with a table that keeps every repeated mount as a
// record of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "pdisk/cart_mount.h"
#include "pdisk/path.h"
#include "pdisk/path_index.h"
#include "pdisk/pfile.h"
#include "vfs_fixture.h"

namespace {

// A mount as the table held it before repeated mounts were folded.
struct model_mount {
  std::string mount_point, origin;
  int32_t kind;
  int32_t isr;
};

int brute_deepest(const std::vector<std::string> &texts, std::string_view path, bool skip_self,
                  const std::vector<bool> *usable = nullptr) {
  int best = -1, best_depth = -1;
  for (size_t i = 0; i < texts.size(); i++) {
    if ((usable && !(*usable)[i]) || (skip_self && texts[i] == path)) continue;
    int depth = get_path_parent_match_depth(texts[i], path);
    if (depth > best_depth) {
      best_depth = depth;
      best = int(i);
    }
  }
  return best;
}

std::vector<std::string> points() {
  std::vector<std::string> v;
  for (const pmount &m : pmount_table) v.push_back(m.mount_point);
  return v;
}

// What resolution gives: the origin and the kind.
std::pair<std::string, int32_t> brute_resolve(const std::vector<model_mount> &table, const std::string &path,
                                              bool skip_self) {
  std::vector<std::string> texts;
  for (const model_mount &m : table) texts.push_back(m.mount_point);
  int i = brute_deepest(texts, path, skip_self);
  if (i < 0) return {"", 0};
  const model_mount &m = table[size_t(i)];
  return {join_origin(m.origin, std::string_view(path).substr(m.mount_point.size())), m.kind};
}

std::vector<int32_t> brute_slots(bool (*keep)(const std::string &origin, std::string_view folder),
                                 std::string_view folder) {
  std::vector<int32_t> v;
  for (size_t i = 0; i < pfile_table.size(); i++)
    if (pfile_table[i].kind == pfile_ram && keep(pfile_table[i].origin, folder)) v.push_back(int32_t(i));
  return v;
}

bool directly_under(const std::string &child, std::string_view folder) {
  std::string prefix(folder);
  if (prefix != "/") prefix += '/';
  return child.size() > prefix.size() && child.starts_with(prefix) &&
         child.find('/', prefix.size()) == std::string::npos;
}

bool strictly_under(const std::string &origin, std::string_view folder) {
  std::string prefix(folder);
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  return origin.size() > prefix.size() && origin.starts_with(prefix);
}

class Indexes : public Vfs {
 protected:
  std::vector<model_mount> model{{"", host, pmount_host, 0}, {"/ram", "/ram", pmount_ram, 1}};

  void check(const std::string &where) {
    SCOPED_TRACE(where);
    static const std::vector<std::string> probes = {
        "/", "/a", "/a/b", "/a/b/c", "/a/b/c/d", "/ab", "/a/bc", "/ram", "/ram/x", "/ram/x/y",
        "/ram/x/y/z", "/ram/t", "/ram/t/f1", "/ram/t/u/f5", "/ram/mount/aa", "/m", "/m/n", "/zz"};
    std::vector<std::string> mps = points();
    for (const std::string &p : probes) {
      for (bool skip : {false, true}) {
        resolved_path r = resolve_to_origin(p, skip);
        EXPECT_EQ(r.mount, brute_deepest(mps, p, skip)) << p << " skip " << skip;
        auto [origin, kind] = brute_resolve(model, p, skip);
        EXPECT_EQ(r.origin, origin) << p << " skip " << skip;
        EXPECT_EQ(r.kind, kind) << p << " skip " << skip;
      }
      int first = int(std::find(mps.begin(), mps.end(), p) - mps.begin());
      EXPECT_EQ(first_mount_at(p), first < int(mps.size()) ? first : -1) << p;
      EXPECT_EQ(is_mount_point(p), first < int(mps.size())) << p;
      std::vector<int> under;
      for (size_t i = 0; i < mps.size(); i++)
        if (path_is_under(mps[i], p)) under.push_back(int(i));
      EXPECT_EQ(mounts_at_or_under(p), under) << p;
      std::set<std::string> children;
      for (const std::string &mp : mps)
        if (directly_under(mp, p)) children.insert(mp.substr(p == "/" ? 1 : p.size() + 1));
      std::vector<std::string_view> got = mount_point_children(p, nullptr);
      EXPECT_EQ(std::vector<std::string>(got.begin(), got.end()),
                std::vector<std::string>(children.begin(), children.end()))
          << p;
      std::vector<int32_t> direct = ram_children(p, nullptr);
      EXPECT_TRUE(std::is_sorted(direct.begin(), direct.end(), [](int32_t a, int32_t b) {
        return pfile_table[size_t(a)].origin < pfile_table[size_t(b)].origin;
      }));
      std::sort(direct.begin(), direct.end());
      EXPECT_EQ(direct, brute_slots(directly_under, p)) << p;
      EXPECT_EQ(ram_slots_under(p), brute_slots(strictly_under, p)) << p;
    }
    // Origins of RAM files, tied (several mounts on one origin) and not
    // normalised ("/ram//x" matches "/ram" at the same depth as "/ram/").
    std::vector<std::string> origins;
    std::vector<bool> ram;
    for (const pmount &m : pmount_table) {
      origins.push_back(m.origin);
      ram.push_back(m.kind == pmount_ram);
    }
    for (std::string o : {"/ram/t/f1", "/ram/t", "/ram/t/u/f5", "/ram/mount/aa/f7", "/ram//x",
                                 "/ram/x/y/f2", "/ram", "/elsewhere"})
      EXPECT_EQ(parent_mount_of_origin(o), brute_deepest(origins, o, false, &ram)) << o;
    int used[3] = {0, 0, 0}, dirty = 0;
    for (const pfile &f : pfile_table) used[f.kind]++;
    for (const pmount &m : pmount_table) dirty += m.dirty;
    for (int32_t kind : {pfile_free, pfile_host, pfile_ram})
      EXPECT_EQ(pdisk_count_slots_by_kind(kind), used[kind]) << kind;
    EXPECT_EQ(pfile_free_count(), used[pfile_free]);
    EXPECT_EQ(pmount_dirty_count(), dirty);
  }

  // The slot a new file must take: the first free one after the last taken.
  static int32_t next_free_slot() {
    for (int n = 1; n <= pfile_max; n++) {
      int i = (next_pfile_index + n) % pfile_max;
      if (pfile_table[size_t(i)].kind == pfile_free) return i;
    }
    return -1;
  }

  void model_unmount(const std::string &path, int removed) {
    auto it = std::find_if(model.begin(), model.end(), [&](const model_mount &m) { return m.mount_point == path; });
    ASSERT_EQ(removed, it != model.end()) << path;
    if (it != model.end()) model.erase(it);
  }
};

TEST_F(Indexes, AgreeWithWalksOfTheTables) {
  const std::vector<std::string> mount_points = {"/a", "/a/b", "/a/b/c", "/ab", "/ram/x", "/ram/x/y", "/m",
                                                 "/", "/ram/t"};
  const std::vector<std::string> targets = {"/ram", "/ram/t", "/ram/t/u", "/", "/a", "/ram/mount/aa",
                                            "/ram/x"};
  const std::vector<std::string> files = {"/ram/t/f1", "/ram/x/f2", "/a/b/f3", "/ram/f4", "/ram/t/u/f5",
                                          "/ram/t/.hid", "/ram/deep/er/f6", "/ram/mount/aa/f7", "/m/f8",
                                          "/ram/x/y/z"};
  constexpr unsigned seeds = 6;
  for (unsigned seed = 1; seed <= seeds; seed++) {
    if (seed > 1) SetUp();
    model = {{"", host, pmount_host, 0}, {"/ram", "/ram", pmount_ram, 1}};
    std::mt19937 rng(seed);
    auto pick = [&](const std::vector<std::string> &v) { return v[rng() % v.size()]; };
    for (int step = 0; step < 250; step++) {
      std::string what;
      switch (rng() % 7) {
        case 0:
        case 1: {
          std::string mp = pick(mount_points), target = pick(targets);
          what = "mount " + mp + " " + target;
          resolved_path t = resolve_to_origin(target, false);
          ASSERT_TRUE(mount_p_path(mp, target)) << what;
          model.push_back({mp, t.origin, t.kind, 0});
          break;
        }
        case 2: {
          std::string mp = pick(mount_points);
          what = "ram folder " + mp;
          ASSERT_TRUE(mount_ram_folder(mp));
          model.push_back({mp, mp, pmount_ram, 1});
          break;
        }
        case 3: {
          std::string mp = pick(mount_points);
          what = "unmount " + mp;
          model_unmount(mp, delete_mount_point(mp));
          break;
        }
        case 4: {
          std::string path = pick(files);
          resolved_path r = resolve_to_origin(path, false);
          what = "file " + path;
          if (r.kind != pmount_ram) break;
          bool exists = false;
          for (const pfile &f : pfile_table) exists = exists || (f.kind == pfile_ram && f.origin == r.origin);
          int32_t expect = exists ? -1 : next_free_slot();
          if (rng() % 3 == 0) {
            pmkdir(path);
          } else if (pfile *f = pfopen(path, "w")) {
            EXPECT_TRUE(expect < 0 || f - pfile_table.data() == expect) << what;
            pfwrite("x", 1, 1, f);
            pfclose(f);
          }
          break;
        }
        case 5: {
          std::string path = pick(files);
          path = path.substr(0, path.rfind('/'));
          what = "free " + path;
          delete_ram_files_in_path(resolve_to_origin(path, false).origin);
          break;
        }
        default: {
          std::string path = pick(files);
          what = "mark " + path;
          mark_parent_mount_dirty(resolve_to_origin(path, false).origin);
          if (rng() % 2) flush_dirty_mounts_immediately();
          break;
        }
      }
      check("seed " + std::to_string(seed) + " step " + std::to_string(step) + ": " + what);
      if (HasFailure()) return;
    }
    if (seed < seeds) TearDown();
  }
}

// The same mount made again adds no record, unless another record of its
// mount point came between (which the repeat would stand behind); each
// unmount then takes one of them away, in table order.
TEST_F(Indexes, RepeatedMountsAddNoRecord) {
  struct step {
    const char *op, *mount_point, *target;
    size_t records;      // in the table afterwards
    const char *serves;  // the origin /p/f resolves to afterwards
  };
  const std::vector<std::vector<step>> cases = {
      {{"mount", "/p", "/ram/one", 3, "/ram/one/f"},
       {"mount", "/p", "/ram/one", 3, "/ram/one/f"},
       {"mount", "/p", "/ram/one", 3, "/ram/one/f"},
       {"unmount", "/p", "", 3, "/ram/one/f"},
       {"unmount", "/p", "", 3, "/ram/one/f"},
       {"unmount", "/p", "", 2, ""}},
      {{"mount", "/p", "/ram/one", 3, "/ram/one/f"},
       {"mount", "/p", "/ram/two", 4, "/ram/one/f"},
       {"mount", "/p", "/ram/one", 5, "/ram/one/f"},
       {"mount", "/p", "/ram/one", 5, "/ram/one/f"},
       {"unmount", "/p", "", 4, "/ram/two/f"},
       {"unmount", "/p", "", 3, "/ram/one/f"},
       {"unmount", "/p", "", 3, "/ram/one/f"},
       {"unmount", "/p", "", 2, ""}},
      {{"desktop", "/p", "", 3, "/d/f"},
       {"desktop", "/p", "", 3, "/d/f"},
       {"folder", "/p", "", 4, "/d/f"},
       {"folder", "/p", "", 4, "/d/f"},
       {"unmount", "/p", "", 4, "/d/f"},
       {"unmount", "/p", "", 3, "/p/f"}},
  };
  for (size_t c = 0; c < cases.size(); c++) {
    if (c > 0) SetUp();
    const std::string h = host;
    for (const step &s : cases[c]) {
      std::string op = s.op;
      bool done = op == "mount"     ? mount_p_path(s.mount_point, s.target)
                  : op == "desktop" ? mount_host_path(s.mount_point, h + "/d/")
                  : op == "folder"  ? mount_ram_folder(s.mount_point)
                                    : delete_mount_point(s.mount_point) == 1;
      ASSERT_TRUE(done) << "case " << c << " " << op;
      resolved_path r = resolve_to_origin("/p/f", false);
      std::string serves = s.serves;
      if (serves == "/d/f") serves = h + "/d/f";
      if (serves.empty()) serves = h + "/p/f";
      EXPECT_EQ(pmount_table.size(), s.records) << "case " << c << " " << op;
      EXPECT_EQ(r.origin, serves) << "case " << c << " " << op;
    }
    if (c + 1 < cases.size()) TearDown();
  }
}

}  // namespace
