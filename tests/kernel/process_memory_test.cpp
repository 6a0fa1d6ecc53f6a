// A process made where another went reuses that one's memory instead of
// faulting fresh pages in from the host, which costs microseconds a page on a
// virtualised host: a child sliced at 0.9 of every frame restarts a process,
// then makes and removes processes, in a loop, and the pages the program
// faults in meanwhile are counted.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>

#include "tests/frame_loop.h"

namespace {

// The system's own two processes, a process to restart (id 4), then the
// child (id 5), sliced at 0.9 of every frame.
const std::string boot_code =
    frame_loop::sliced_child_boot(R"lua(_create_process_from_code("flip()", "g", "/apps/g.lua"))lua");

int64_t minor_faults() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_minflt;
}

class ProcessMemory : public testing::Test {
 protected:
  void TearDown() override { frame_loop::end(); }
};

TEST_F(ProcessMemory, AProcessMadeWhereAnotherWentReusesItsMemory) {
  // (The sanitised trees' allocator keeps freed blocks apart on purpose.)
  if (__sanitizer_get_current_allocated_bytes) GTEST_SKIP() << "the sanitiser's own allocator";
  const struct {
    const char *name, *call;
  } rows[] = {
      {"restart", "_kill_process(4, 1)"},
      {"make and remove", "_kill_process(_create_process_from_code('flip()', 'x', '/apps/x.lua'))"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    std::string child = std::string("made = 0 while true do ") + r.call + " made = made + 1 end";
    frame_loop::boot({{"boot.lua", boot_code}}, {{"apps/child.lua", child}});
    frame_loop::run({.frames = 10});  // the heap has grown to what the loop needs
    int64_t faults = minor_faults(), made = frame_loop::global_integer(5, "made").value_or(0);
    frame_loop::run({.frames = 20});
    faults = minor_faults() - faults;
    made = frame_loop::global_integer(5, "made").value_or(0) - made;
    ASSERT_GT(made, 10);
    // A process holds some 170 pages of its own (its RAM's system pages, the
    // default wavetables, its state): unmended, most came fresh each time.
    EXPECT_LT(faults, 8 * made) << faults << " pages faulted in for " << made << " processes";
  }
}

}  // namespace
