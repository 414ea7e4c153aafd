// The pool-size rules: thread-count parsing and the cgroup CPU quota, read
// from fake /proc and cgroup trees laid out in a temporary directory.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "check.h"
#include "common/cpu_count.h"

using namespace tarvik;

namespace {

using testing::check;

void test_parse_thread_count() {
  const std::pair<const char*, std::size_t> cases[] = {
      {"4", 4}, {"+2", 2}, {"0", 0}, {"-1", 0}, {" 3", 0}, {"3 ", 0}, {"", 0}, {"+", 0},
      {"18446744073709551615", 18446744073709551615u}, {"18446744073709551616", 0}};
  for (auto [text, want] : cases) {
    check(parse_thread_count(text) == want, std::string("parse_thread_count(\"") + text + "\")");
  }
}

// A fake root: mkdir -p and write whole files below it.
struct FakeRoot {
  std::string root;
  FakeRoot() {
    char pattern[] = "/tmp/cpu_count_test.XXXXXX";
    root = ::mkdtemp(pattern);
  }
  ~FakeRoot() { [[maybe_unused]] int rc = std::system(("rm -rf '" + root + "'").c_str()); }
  void write(const std::string& path, const std::string& text) const {
    std::size_t at = 0;
    while ((at = path.find('/', at + 1)) != std::string::npos) {
      ::mkdir((root + path.substr(0, at)).c_str(), 0755);
    }
    std::ofstream(root + path) << text;
  }
};

std::string limit_text(std::optional<std::size_t> limit) {
  return limit ? std::to_string(*limit) : "none";
}

void test_cgroup_v2() {
  FakeRoot fake;
  fake.write("/proc/self/mountinfo",
             "22 1 0:21 / /proc rw - proc proc rw\n"
             "30 22 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n");
  fake.write("/proc/self/cgroup", "0::/app/worker\n");
  check(!cgroup_cpu_limit(fake.root), "no cpu.max anywhere: no limit");

  fake.write("/sys/fs/cgroup/app/worker/cpu.max", "max 100000\n");
  check(!cgroup_cpu_limit(fake.root), "cpu.max of max: no limit");

  // The tightest quota on the path wins, whether on the cgroup or an ancestor.
  fake.write("/sys/fs/cgroup/app/cpu.max", "300000 100000\n");
  check(limit_text(cgroup_cpu_limit(fake.root)) == "3", "an ancestor's quota counts");
  fake.write("/sys/fs/cgroup/app/worker/cpu.max", "250000 100000\n");
  check(limit_text(cgroup_cpu_limit(fake.root)) == "2", "whole processors, the tighter quota");
  fake.write("/sys/fs/cgroup/app/worker/cpu.max", "50000 100000\n");
  check(limit_text(cgroup_cpu_limit(fake.root)) == "1", "a fraction of one processor is one");
  fake.write("/sys/fs/cgroup/app/worker/cpu.max", "garbage\n");
  check(limit_text(cgroup_cpu_limit(fake.root)) == "3", "a malformed file is ignored");
}

void test_cgroup_v1() {
  FakeRoot fake;
  // The hierarchy is mounted at a sub-root, as in a container: the process's
  // path is relative to the mount's root.
  fake.write("/proc/self/mountinfo",
             "35 30 0:31 /docker /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n");
  fake.write("/proc/self/cgroup", "4:cpu,cpuacct:/docker/box\n2:memory:/docker/box\n");
  fake.write("/sys/fs/cgroup/cpu,cpuacct/box/cpu.cfs_quota_us", "-1\n");
  fake.write("/sys/fs/cgroup/cpu,cpuacct/box/cpu.cfs_period_us", "100000\n");
  check(!cgroup_cpu_limit(fake.root), "quota -1: no limit");
  fake.write("/sys/fs/cgroup/cpu,cpuacct/box/cpu.cfs_quota_us", "400000\n");
  check(limit_text(cgroup_cpu_limit(fake.root)) == "4", "v1 quota over period");
}

}  // namespace

int main() {
  test_parse_thread_count();
  test_cgroup_v2();
  test_cgroup_v1();
  return testing::finish();
}
