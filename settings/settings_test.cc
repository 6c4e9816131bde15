#include "settings/settings.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace velmora {
namespace {

class SettingsFile : public ::testing::Test {
 protected:
  // A file of each test's own, since CTest runs the tests side by side.
  void SetUp() override {
    path_ = ::testing::TempDir() + "velmora-settings-" + std::to_string(getpid());
  }
  void TearDown() override { std::remove(path_.c_str()); }

  void Write(const std::string& text) const {
    FILE* file = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
  }

  std::string path_;
};

struct ValueCase {
  const char* what;
  std::string text;
  const char* key;
  uint32_t expected;
};

const std::string kLong(kSettingsLineBuffer - 1, 'x');

TEST_F(SettingsFile, ReadsEachKindOfLine) {
  const char* hour = "MOD_VELMORA_HOUR";
  const ValueCase cases[] = {
      {"plain", "MOD_VELMORA_HOUR=3\n", hour, 3},
      {"lower-case key", "mod_velmora_hour=4\n", hour, 4},
      {"longer name", "MOD_VELMORA_HOURS=3\n", hour, 0},
      {"blank before =", "MOD_VELMORA_HOUR =3\n", hour, 0},
      {"blank after =", "MOD_VELMORA_HOUR= 3\n", hour, 3},
      {"blank then quote", "MOD_VELMORA_HOUR= \"3\"\n", hour, 0},
      {"quoted", "MOD_VELMORA_HOUR=\"3\"\n", hour, 3},
      {"closing quote only", "MOD_VELMORA_HOUR=3\"\n", hour, 3},
      {"opening quote only", "MOD_VELMORA_HOUR=\"3\n", hour, 0},
      {"empty quotes", "MOD_VELMORA_HOUR=\"\"\n", hour, 0},
      {"two quotes each side", "MOD_VELMORA_HOUR=\"\"3\"\"\n", hour, 0},
      {"CR cut before the quote", "MOD_VELMORA_HOUR=\"3\r\"\n", hour, 0},
      {"first CR cuts", "MOD_VELMORA_HOUR=\r5\r\n", hour, 0},
      {"quote before =", "MOD_VELMORA_HOUR\"=3\n", hour, 0},
      {"quoted with remark", "MOD_VELMORA_HOUR=\"3\" # not \"2\"\n", hour, 3},
      {"second =", "MOD_VELMORA_HOUR=3=4\n", hour, 3},
      {"remark after number", "MOD_VELMORA_HOUR=3 # night\n", hour, 3},
      {"plus sign", "MOD_VELMORA_HOUR=+7\n", hour, 7},
      {"minus one", "MOD_VELMORA_HOUR=-1\n", hour, 4294967295U},
      {"wraps modulo 2^32", "MOD_VELMORA_HOUR=4294967299\n", hour, 3},
      {"above the signed 64-bit range", "MOD_VELMORA_HOUR=10000000000000000000\n",
       hour, 2313682944U},
      {"beyond 64 bits", "MOD_VELMORA_HOUR=99999999999999999999999\n", hour,
       4294967295U},
      {"no digits", "MOD_VELMORA_HOUR=three\n", hour, 0},
      {"first line wins though empty",
       "MOD_VELMORA_HOUR=\nMOD_VELMORA_HOUR=5\n", hour, 0},
      {"first line wins", "MOD_VELMORA_HOUR=2\nMOD_VELMORA_HOUR=5\n", hour, 2},
      {"CR LF", "A=1\r\nMOD_VELMORA_HOUR=6\r\n", hour, 6},
      {"CR alone: later line lost", "A=1\rMOD_VELMORA_HOUR=6\r", hour, 0},
      {"CR alone: first line read", "MOD_VELMORA_HOUR=6\rA=1\r", hour, 6},
      {"no final LF", "A=1\nMOD_VELMORA_HOUR=7", hour, 7},
      {"byte-order mark", "\xEF\xBB\xBFMOD_VELMORA_HOUR=3\n", hour, 0},
      {"number sign", "#MOD_VELMORA_HOUR=3\n", hour, 0},
      {"zero byte in name", std::string("MOD_VELMORA_HOUR\0=3\n", 20), hour, 0},
      {"zero byte after value", std::string("MOD_VELMORA_HOUR=3\0" "9\n", 21),
       hour, 3},
      {"key in a later piece", kLong + "MOD_VELMORA_HOUR=9\n", hour, 9},
      {"key across pieces", kLong.substr(9) + "MOD_VELMORA_HOUR=9\n", hour, 0},
      {"empty file", "", hour, 0},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.what);
    Write(c.text);
    FILE* stream = settings_open(path_.c_str(), "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(settings_get_uint(stream, c.key), c.expected);
    // A second lookup rewinds and finds the same.
    EXPECT_EQ(settings_get_uint(stream, c.key), c.expected);
    settings_close(stream);
  }
}

TEST_F(SettingsFile, LoadsTheRecordAndFallsBackToZero) {
  Write("MOD_VELMORA_MINUTE=\"15\"\nmod_velmora_hour=3\nMOD_VELMORA_ENABLED=1\n");
  module_settings s{9, 9, 9};
  load_module_settings(&s, path_.c_str());
  EXPECT_EQ(s.enabled, 1U);
  EXPECT_EQ(s.hour, 3U);
  EXPECT_EQ(s.minute, 15U);

  Write("MOD_VELMORA_HOUR=4\n");
  s = {9, 9, 9};
  load_module_settings(&s, path_.c_str());
  EXPECT_EQ(s.enabled, 0U);
  EXPECT_EQ(s.hour, 4U);
  EXPECT_EQ(s.minute, 0U);

  // The file is closed again every time.
  const auto open_descriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  const auto before = open_descriptors();
  for (int i = 0; i < 50; ++i) load_module_settings(&s, path_.c_str());
  EXPECT_EQ(open_descriptors(), before);

  std::remove(path_.c_str());
  s = {9, 9, 9};
  load_module_settings(&s, path_.c_str());
  EXPECT_EQ(s.enabled + s.hour + s.minute, 0U);
  EXPECT_EQ(settings_get_uint(nullptr, "MOD_VELMORA_HOUR"), 0U);
  settings_close(nullptr);
}

// Anything but a regular file reads as no file at all, and at once: a
// blocked open or read, or an endless one, is ended by the alarm and fails.
TEST_F(SettingsFile, ReadsOnlyARegularFile) {
  const std::string fifo = path_ + ".fifo", held = path_ + ".held",
                    zero = path_ + ".zero", dir = path_ + ".d";
  auto remove_all = [&] {
    for (const std::string& path : {fifo, held, zero}) unlink(path.c_str());
    rmdir(dir.c_str());
  };
  remove_all();  // what a run that the alarm ended left behind
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(held.c_str(), 0600), 0);
  const int writer = open(held.c_str(), O_RDWR);  // never writes
  ASSERT_GE(writer, 0);
  ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  for (const std::string& path : {fifo, held, zero, dir, std::string("/dev/urandom")}) {
    SCOPED_TRACE(path);
    alarm(10);
    module_settings s{9, 9, 9};
    load_module_settings(&s, path.c_str());
    EXPECT_EQ(settings_open(path.c_str(), "r"), nullptr);
    alarm(0);
    EXPECT_EQ(s.enabled + s.hour + s.minute, 0U);
  }
  close(writer);
  remove_all();
}

TEST_F(SettingsFile, FindReadsOnFromWhereTheStreamStands) {
  Write("K=1\nK=2\n");
  FILE* stream = settings_open(path_.c_str(), "r");
  ASSERT_NE(stream, nullptr);
  EXPECT_STREQ(settings_find(stream, "k"), "1");
  EXPECT_STREQ(settings_find(stream, "k"), "2");
  EXPECT_EQ(settings_find(stream, "k"), nullptr);
  settings_close(stream);
}

}  // namespace
}  // namespace velmora
