// The processor count: the affinity set, lowered by a cgroup CPU quota, and
// the environment variables that override it.
#include "common/cpu_count.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tarvik {
namespace {

std::optional<std::string> read_first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  return line;
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(sep, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

std::optional<long long> parse_ll(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str()) return std::nullopt;
  return value;
}

struct CgroupMount {
  std::string root;
  std::string mount_point;
};

// Finds the mount of a cgroup hierarchy: v2 when `controller` is empty, else
// the v1 hierarchy that carries `controller`.
std::optional<CgroupMount> find_cgroup_mount(const std::string& root,
                                             const std::string& controller) {
  std::ifstream in(root + "/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    const std::vector<std::string> head = split(line.substr(0, dash), ' ');
    const std::vector<std::string> tail = split(line.substr(dash + 3), ' ');
    if (head.size() < 5 || tail.size() < 3) continue;
    if (controller.empty()) {
      if (tail[0] == "cgroup2") return CgroupMount{head[3], head[4]};
    } else if (tail[0] == "cgroup") {
      for (const std::string& option : split(tail[2], ',')) {
        if (option == controller) return CgroupMount{head[3], head[4]};
      }
    }
  }
  return std::nullopt;
}

// The cgroup path of this process: v2 when `controller` is empty.
std::optional<std::string> find_cgroup_path(const std::string& root, const std::string& controller) {
  std::ifstream in(root + "/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (controller.empty()) {
      if (line.compare(0, first, "0") == 0 && controllers.empty()) return path;
    } else {
      for (const std::string& name : split(controllers, ',')) {
        if (name == controller) return path;
      }
    }
  }
  return std::nullopt;
}

// The directories from the process's own cgroup up to the hierarchy's mount.
std::vector<std::string> cgroup_dirs(const std::string& root, const std::string& controller) {
  const std::optional<CgroupMount> mount = find_cgroup_mount(root, controller);
  const std::optional<std::string> path = find_cgroup_path(root, controller);
  if (!mount || !path) return {};
  std::string relative = *path;
  if (mount->root != "/") {
    if (relative.compare(0, mount->root.size(), mount->root) != 0) return {};
    relative = relative.substr(mount->root.size());
  }
  std::vector<std::string> dirs;
  for (;;) {
    while (!relative.empty() && relative.back() == '/') relative.pop_back();
    dirs.push_back(root + mount->mount_point + relative);
    if (relative.empty()) return dirs;
    relative = relative.substr(0, relative.rfind('/'));
  }
}

// Whole processors allowed by a quota of `quota` per `period`, at least 1.
std::size_t quota_processors(long long quota, long long period) {
  const long long whole = quota / period;
  return whole < 1 ? 1 : static_cast<std::size_t>(whole);
}

}  // namespace

std::optional<std::size_t> cgroup_cpu_limit(const std::string& root) {
  std::optional<std::size_t> limit;
  auto lower = [&](std::size_t value) { limit = limit ? std::min(*limit, value) : value; };
  for (const std::string& dir : cgroup_dirs(root, "")) {
    const std::optional<std::string> line = read_first_line(dir + "/cpu.max");
    if (!line) continue;
    const std::vector<std::string> fields = split(*line, ' ');
    if (fields.size() != 2 || fields[0] == "max") continue;
    const std::optional<long long> quota = parse_ll(fields[0]);
    const std::optional<long long> period = parse_ll(fields[1]);
    if (quota && period && *quota > 0 && *period > 0) lower(quota_processors(*quota, *period));
  }
  for (const std::string& dir : cgroup_dirs(root, "cpu")) {
    const std::optional<std::string> quota_line = read_first_line(dir + "/cpu.cfs_quota_us");
    const std::optional<std::string> period_line = read_first_line(dir + "/cpu.cfs_period_us");
    if (!quota_line || !period_line) continue;
    const std::optional<long long> quota = parse_ll(*quota_line);
    const std::optional<long long> period = parse_ll(*period_line);
    if (quota && period && *quota > 0 && *period > 0) lower(quota_processors(*quota, *period));
  }
  return limit;
}

namespace {

std::size_t affinity_processors() {
  for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, set);
    if (sched_getaffinity(0, size, set) == 0) {
      const int count = CPU_COUNT_S(size, set);
      CPU_FREE(set);
      return count > 0 ? static_cast<std::size_t>(count) : 1;
    }
    CPU_FREE(set);
    if (errno != EINVAL) break;
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

}  // namespace

std::size_t parse_thread_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return 0;
  std::size_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    const std::size_t digit = static_cast<std::size_t>(c - '0');
    if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t configured_pool_size() {
  for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
    if (const char* value = std::getenv(name)) {
      if (const std::size_t count = parse_thread_count(value)) return count;
    }
  }
  return available_processors();
}

std::size_t available_processors() {
  std::size_t count = affinity_processors();
  if (const std::optional<std::size_t> quota = cgroup_cpu_limit()) count = std::min(count, *quota);
  return count < 1 ? 1 : count;
}

}  // namespace tarvik
