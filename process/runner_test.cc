#include "process/runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace velmora {
namespace {

struct StatusCase {
  const char* path;
  const char* arg1;  // nullptr ends the list early
  const char* arg2;
  int exit_code;     // -1 when the child must die of `signal`
  int signal;
  bool ignore_sigchld = false;  // the child then leaves no status: -1
};

TEST(RunCommand, ReturnsTheChildsWaitStatus) {
  const StatusCase cases[] = {
      {"/bin/true", nullptr, nullptr, 0, 0},
      {"/bin/sh", "-c", "exit 5", 5, 0},
      {"/bin/sh", "-c", "kill -TERM $$", -1, SIGTERM},
      {"/nonexistent/velmora-test", nullptr, nullptr, 1, 0},
      {"/etc/passwd", nullptr, nullptr, 1, 0},  // not executable
      {"sh", "-c", "exit 7", 7, 0},               // found along PATH
      {"/bin/sh", "-c", "exit 5", 0, 0, true},
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + (c.arg2 ? c.arg2 : "") +
                 (c.ignore_sigchld ? ", SIGCHLD ignored" : ""));
    if (c.ignore_sigchld) signal(SIGCHLD, SIG_IGN);
    const int status = run_command(c.path, c.arg1, c.arg2, nullptr);
    signal(SIGCHLD, SIG_DFL);
    if (c.ignore_sigchld) {
      EXPECT_EQ(status, -1);
    } else if (c.exit_code >= 0) {
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
  std::vector<std::string> fds;  // "N target mode"
};

class ChildReport : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "velmora-child-report-" + std::to_string(getpid());
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

// run_command takes a variable argument list: spell out all of `given`.
template <size_t... I>
int RunWithArguments(const std::vector<std::string>& given, std::index_sequence<I...>) {
  return run_command(CHILD_REPORT, given[I].c_str()..., nullptr);
}

const std::vector<std::string> kOnlyNull = {"0 /dev/null rw", "1 /dev/null rw",
                                            "2 /dev/null rw"};

TEST_F(ChildReport, TakesThePathAndAtMost62Arguments) {
  std::vector<std::string> given;
  for (int i = 1; i <= 70; ++i) given.push_back(std::to_string(i) + "a");
  const int status = RunWithArguments(given, std::make_index_sequence<70>());
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
// descriptors stand: some of 0 to 2 closed, or a table so full under a low
// limit that /dev/null has no number left until the others are closed.
TEST_F(ChildReport, StandardStreamsOnNullAndNothingAbove) {
  const int extra = open("/etc/passwd", O_RDONLY);  // not close-on-exec
  ASSERT_GE(extra, 0);
  const int high = 900;
  ASSERT_EQ(dup2(extra, high), high);
  struct {
    int closed;  // standard descriptor closed in the caller, or -1
    rlim_t limit;  // descriptor limit, filled up to it; 0 for none
  } const cases[] = {{-1, 0}, {0, 0}, {1, 0}, {2, 0}, {-1, 5}, {-1, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE("closed " + std::to_string(c.closed) + ", limit " + std::to_string(c.limit));
#ifdef VELMORA_EMULATED
    // An emulator needs descriptors of its own to start the child: the
    // tightest table is left to runs on the processor itself.
    if (c.limit == 3) continue;
#endif
    int saved = -1;
    if (c.closed >= 0) {
      saved = dup(c.closed);
      close(c.closed);
    }
    rlimit old {};
    std::vector<int> fillers;
    if (c.limit > 0) {
      ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
      rlimit low = old;
      low.rlim_cur = c.limit;
      ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
      for (int fd; (fd = dup(extra)) >= 0;) fillers.push_back(fd);
    }
    const int status = run_command(CHILD_REPORT, nullptr);
    for (int fd : fillers) close(fd);
    if (c.limit > 0) setrlimit(RLIMIT_NOFILE, &old);
    if (c.closed >= 0) {
      dup2(saved, c.closed);
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
