// The screen-composing end-to-end userland run in process, its frame checked
// pixel by pixel through the video output: every pixel of the host frame is
// the palette colour the scenario's expected picture names.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gfx/draw_state.h"
#include "gfx/video_output.h"
#include "kernel/accounting.h"
#include "kernel/process.h"
#include "kernel/system.h"

namespace {

const std::string scenario = std::string(KESTRUNE_SOURCE_DIR) + "/tests/e2e/compose_screens/";

std::string read_all(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The rows of hex digits the scenario's case.json expects on standard output.
std::vector<std::string> expected_rows() {
  std::string json = read_all(scenario + "case.json");
  size_t at = json.find("\"stdout\": \"") + 11;
  std::vector<std::string> rows;
  std::string row;
  for (size_t i = at; i < json.size() && json[i] != '"'; i++) {
    if (json.compare(i, 2, "\\n") == 0) {
      rows.push_back(row);
      row.clear();
      i++;
    } else {
      row += json[i];
    }
  }
  return rows;
}

TEST(ComposeScreens, TheVideoOutputShowsTheComposedPicture) {
  set_default_config();
  config.headless = 1;
  app = app_record{};
  ASSERT_TRUE(processes_init());
  init_default_coltabs();
  root_process = create_process_from_code(read_all(scenario + "system/boot.lua"), "[root]", "[root]");
  ASSERT_NE(root_process, nullptr);
  set_current_process(root_process);
  app.frame_count = 1000;  // the boot clock well past the boot screen
  app.boot_time_base = 1;
  for (int frame = 0; frame < 5; frame++) {
    prepare_processes_for_frame();
    run_process_slice(root_process, 1.0);
    update_processes_after_frame();
    app.frame_count++;
  }
  int w = 0, h = 0;
  const uint32_t *picture = generate_video_out(&w, &h);
  ASSERT_NE(picture, nullptr);
  ASSERT_EQ(w, 480);
  std::vector<std::string> rows = expected_rows();
  ASSERT_EQ(rows.size(), 19u);
  for (int y = 0; y < 270; y++)
    for (int x = 0; x < 480; x++) {
      int colour = 1;
      if (y < int(rows.size()) && x < int(rows[size_t(y)].size()))
        colour = std::stoi(rows[size_t(y)].substr(size_t(x), 1), nullptr, 16);
      ASSERT_EQ(picture[y * 480 + x], system_palette[colour]) << x << ", " << y;
    }
  processes_init();
  root_process = nullptr;
  cproc = nullptr;
  cpu_cycles = cpu_cycles_max = cpu_superyielding = 0;
  app = app_record{};
}

}  // namespace
