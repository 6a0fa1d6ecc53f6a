// A fresh virtual file system for each test: a host folder of its own mounted
// at "/", and "/ram" as a RAM folder.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "pdisk/pfile.h"

class Vfs : public testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
    host = testing::TempDir() + "kestrune-vfs-" + std::to_string(getpid()) + "-" +
           std::to_string(++serial);
    std::filesystem::remove_all(host);
    std::filesystem::create_directories(host);
    pfile_init();
    pfile_reset();
    ASSERT_TRUE(mount_host_path("/", host + "/"));
    ASSERT_TRUE(mount_ram_folder("/ram"));
  }
  void TearDown() override {
    pfile_reset();
    std::error_code ec;
    std::filesystem::remove_all(host, ec);
  }

  // Whole-file helpers through the file system.
  static bool put(const std::string &path, const std::string &text) {
    pfile *f = pfopen(path, "w");
    if (!f) return false;
    pfwrite(text.data(), 1, int64_t(text.size()), f);
    return pfclose(f);
  }
  static std::optional<std::string> get(const std::string &path, const char *mode = "r") {
    pfile *f = pfopen(path, mode);
    if (!f) return std::nullopt;
    std::string s(reinterpret_cast<const char *>(f->data->data), size_t(f->data->length));
    pfclose(f);
    return s;
  }

  // The same on the host, beside the file system.
  std::string host_path(const std::string &rel) const { return host + "/" + rel; }
  void host_put(const std::string &rel, const std::string &text) const {
    std::filesystem::create_directories(std::filesystem::path(host_path(rel)).parent_path());
    std::ofstream(host_path(rel), std::ios::binary) << text;
  }
  std::optional<std::string> host_get(const std::string &rel) const {
    std::ifstream in(host_path(rel), std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string host;
};
