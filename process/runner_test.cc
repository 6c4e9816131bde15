#include "process/runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace velmora {
namespace {

struct StatusCase {
  const char* path;
  const char* arg1;  // nullptr ends the list early
  const char* arg2;
  int exit_code;     // -1 when the child must die of `signal`
  int signal;
};

TEST(RunCommand, ReturnsTheChildsWaitStatus) {
  const StatusCase cases[] = {
      {"/bin/true", nullptr, nullptr, 0, 0},
      {"/bin/sh", "-c", "exit 5", 5, 0},
      {"/bin/sh", "-c", "kill -TERM $$", -1, SIGTERM},
      {"/nonexistent/velmora-test", nullptr, nullptr, 1, 0},
      {"/etc/passwd", nullptr, nullptr, 1, 0},  // not executable
      {"sh", "-c", "exit 7", 7, 0},               // found along PATH
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + (c.arg2 ? c.arg2 : ""));
    const int status = run_command(c.path, c.arg1, c.arg2, nullptr);
    if (c.exit_code >= 0) {
      ASSERT_TRUE(WIFEXITED(status)) << status;
      EXPECT_EQ(WEXITSTATUS(status), c.exit_code);
    } else {
      ASSERT_TRUE(WIFSIGNALED(status)) << status;
      EXPECT_EQ(WTERMSIG(status), c.signal);
    }
  }
}

// What the helper program saw, one "key value" line each.
struct Report {
  std::vector<std::string> args;
  std::vector<std::string> fds;  // "N target"
};

class ChildReport : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "velmora-child-report";
    setenv("CHILD_REPORT_OUT", path_.c_str(), 1);
  }
  void TearDown() override { std::remove(path_.c_str()); }

  Report Read() const {
    Report report;
    std::ifstream in(path_);
    std::string key, rest;
    while (in >> key && std::getline(in >> std::ws, rest)) {
      if (key == "arg") report.args.push_back(rest);
      if (key == "fd") report.fds.push_back(rest);
    }
    return report;
  }

  std::string path_;
};

const std::vector<std::string> kOnlyNull = {"0 /dev/null", "1 /dev/null",
                                            "2 /dev/null"};

TEST_F(ChildReport, TakesThePathAndAtMost62Arguments) {
  std::vector<std::string> given;
  for (int i = 1; i <= 70; ++i) given.push_back(std::to_string(i) + "a");
  const char* a[70];
  for (int i = 0; i < 70; ++i) a[i] = given[static_cast<size_t>(i)].c_str();
  // Spelt out: the runner takes a variable argument list.
  const int status = run_command(
      CHILD_REPORT, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9],
      a[10], a[11], a[12], a[13], a[14], a[15], a[16], a[17], a[18], a[19],
      a[20], a[21], a[22], a[23], a[24], a[25], a[26], a[27], a[28], a[29],
      a[30], a[31], a[32], a[33], a[34], a[35], a[36], a[37], a[38], a[39],
      a[40], a[41], a[42], a[43], a[44], a[45], a[46], a[47], a[48], a[49],
      a[50], a[51], a[52], a[53], a[54], a[55], a[56], a[57], a[58], a[59],
      a[60], a[61], a[62], a[63], a[64], a[65], a[66], a[67], a[68], a[69],
      nullptr);
  ASSERT_EQ(status, 0);
  std::vector<std::string> expected = {CHILD_REPORT};
  expected.insert(expected.end(), given.begin(), given.begin() + 62);
  EXPECT_EQ(Read().args, expected);
}

TEST_F(ChildReport, FindsABareNameAlongPathAndKeepsItAsArgumentZero) {
  const std::string helper = CHILD_REPORT;
  const std::string dir = helper.substr(0, helper.rfind('/'));
  const std::string old_path = std::getenv("PATH");
  setenv("PATH", ("/nonexistent:" + dir).c_str(), 1);
  const int status = run_command("child_report", nullptr);
  setenv("PATH", old_path.c_str(), 1);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(Read().args, std::vector<std::string>{"child_report"});
}

// The child must see exactly 0 to 2, on /dev/null, however the caller's own
// descriptors stand.
TEST_F(ChildReport, StandardStreamsOnNullAndNothingAbove) {
  const int extra = open("/etc/passwd", O_RDONLY);  // not close-on-exec
  ASSERT_GE(extra, 0);
  const int high = 900;
  ASSERT_EQ(dup2(extra, high), high);
  for (int closed : {-1, 0, 1, 2}) {
    SCOPED_TRACE("standard descriptor closed in the caller: " +
                 std::to_string(closed));
    int saved = -1;
    if (closed >= 0) {
      saved = dup(closed);
      close(closed);
    }
    const int status = run_command(CHILD_REPORT, nullptr);
    if (closed >= 0) {
      dup2(saved, closed);
      close(saved);
    }
    ASSERT_EQ(status, 0);
    EXPECT_EQ(Read().fds, kOnlyNull);
  }
  close(high);
  close(extra);
}

}  // namespace
}  // namespace velmora
