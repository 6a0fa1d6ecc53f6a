// Host text cleaning and the clipboard, through the plain functions and the
// script API.
#include <SDL.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "../lua/lua_harness.h"
#include "kernel/text.h"
#include "platform/host_clipboard.h"
#include "platform/platform_api.h"
#include "sdl_env.h"

namespace {

using namespace std::string_literals;

// Cleans a copy held in a heap block of exactly its size, so that a read past
// its end is caught by the address sanitizer.
std::string clean_exact(const std::string &text) {
  std::unique_ptr<char[]> exact(new char[text.size()]);
  std::copy(text.begin(), text.end(), exact.get());
  return clean_windows_text(std::string_view(exact.get(), text.size()));
}

TEST(CleanWindowsText, DropsMarksAndCarriageReturnsByLayout) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\r\nb\r", "a\nb"},
      {"\xEF\xBB\xBFone\r\ntwo", "one\ntwo"},
      {"\xFE\xFF\0A\0\r\0\n\0B"s, "A\nB"},                        // UTF-16, big-endian
      {"\xFF\xFE" "A\0\r\0\n\0"s, "A\n"},                           // UTF-16, little-endian
      {"\xFF\xFE\0\0A\0\0\0\r\0\0\0B\0\0\0"s, "AB"},                // UTF-32, little-endian
      {"\0\0\xFE\xFF\0\0\0A\0\0\0\r\0\0\0B"s, "AB"},                // UTF-32, big-endian
      {"\xFE\xFF\0\0x"s, "\xFE\xFF\0\0x"s},  // no text after the mark: copied as bytes
      {"\xFF\xFE" "A\0B"s, "A"},             // a unit cut short at the end is dropped
  };
  for (const auto &[in, want] : cases)
    EXPECT_EQ(clean_exact(in), want) << testing::PrintToString(in);
}

TEST(CleanWindowsText, ShortTextsNeverReadPastTheirEnd) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"\r", ""},
      {"x", "x"},
      {"\xEF", "\xEF"},
      {"\xEF\xBB", "\xEF\xBB"},
      {"\xEF\xBB\xBF", ""},
      {"\xFE", "\xFE"},
      {"\xFE\xFF", "\xFE\xFF"},
      {"\xFE\xFF" "A", ""},
      {"\xFF\xFE", ""},
      {"\xFF\xFE\0"s, ""},
      {"\0\0\xFE"s, "\0\0\xFE"s},
      {"a\r\r", "a"},
  };
  for (const auto &[in, want] : cases)
    EXPECT_EQ(clean_exact(in), want) << testing::PrintToString(in);
}

TEST(CleanWindowsText, BufferFormMakesANewBufferOfItsGroup) {
  EXPECT_EQ(clean_windows_text_file(nullptr), nullptr);
  buffer_owner in(create_buffer_2(8, 1));
  bappend_bytes(in.get(), "\xEF\xBB\xBFhi\r\n", 7);
  int32_t before = get_buffer_group_count(buffer_group_clean_text);
  buffer_owner out(clean_windows_text_file(in.get()));
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(get_buffer_group_count(buffer_group_clean_text), before + 1);
  EXPECT_EQ(out->group, buffer_group_clean_text);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out->data), size_t(out->length)), "hi\n");
  EXPECT_EQ(in->length, 7);  // the source is left alone

  buffer_owner empty(create_buffer_2(0, 1));
  buffer_owner cleaned(clean_windows_text_file(empty.get()));
  ASSERT_NE(cleaned, nullptr);
  EXPECT_EQ(cleaned->length, 0);
}

// SDL's dummy video keeps a clipboard of its own inside the process.
class HostClipboard : public testing::Test {
 protected:
  void SetUp() override {
    env.set("SDL_VIDEODRIVER", "dummy");
    ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_VIDEO), 0) << SDL_GetError();
  }
  void TearDown() override { SDL_Quit(); }
  scoped_env env;
};

TEST_F(HostClipboard, PlainFunctionsCleanWhatTheHostHolds) {
  SDL_SetClipboardText("\xEF\xBB\xBFline\r\nnext\r\n");
  EXPECT_EQ(os_get_clipboard_text(), "line\nnext\n");
  os_set_clipboard_text("set\r\nby us");
  char *raw = SDL_GetClipboardText();
  EXPECT_STREQ(raw, "set\r\nby us");  // setting passes text as it is
  SDL_free(raw);
  EXPECT_EQ(os_get_clipboard_text(), "set\nby us");
}

TEST_F(HostClipboard, ScriptBindings) {
  lua_harness::cycle_guard guard;
  lua_harness::state_owner L = lua_harness::new_state();
  lua_register(L.get(), "_get_host_clipboard_text", lua54__get_host_clipboard_text);
  lua_register(L.get(), "_set_host_clipboard_text", lua54__set_host_clipboard_text);
  lua_register(L.get(), "_req_host_clipboard_text", lua54__req_host_clipboard_text);
  const char *script =
      "_set_host_clipboard_text('\\239\\187\\191one\\r\\ntwo')\n"
      "local a = _get_host_clipboard_text()\n"
      "_set_host_clipboard_text(5)\n"  // not a string: ignored
      "_set_host_clipboard_text({})\n"
      "local b = _get_host_clipboard_text()\n"
      "return a, b, select('#', _req_host_clipboard_text()),\n"
      "       select('#', _set_host_clipboard_text('x'))";
  ASSERT_EQ(luaL_dostring(L.get(), script), LUA_OK) << lua_tostring(L.get(), -1);
  EXPECT_STREQ(lua_tostring(L.get(), -4), "one\ntwo");
  EXPECT_STREQ(lua_tostring(L.get(), -3), "one\ntwo");
  EXPECT_EQ(lua_tointeger(L.get(), -2), 0);
  EXPECT_EQ(lua_tointeger(L.get(), -1), 0);
  EXPECT_EQ(os_get_clipboard_text(), "x");
}

}  // namespace
