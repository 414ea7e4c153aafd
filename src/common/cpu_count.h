// How many threads the machine and the environment ask for.
//
// The pool size is RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS (each only when
// it holds a positive integer), else the processors this process may run on:
// its affinity set, lowered by a cgroup CPU quota (v2 cpu.max, v1
// cpu.cfs_quota_us / cpu.cfs_period_us) on its cgroup or any ancestor, since a
// container with two CPUs of quota on a 64-core host runs best with two
// threads. Unreadable or malformed /proc and cgroup files mean "no limit".
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarvik {

// Parses a positive decimal integer (an optional leading '+', nothing else);
// 0 for anything else.
std::size_t parse_thread_count(std::string_view text);

// The pool size the environment and the machine ask for, at least 1.
std::size_t configured_pool_size();

// Processors in the affinity set, lowered by the cgroup quota; at least 1.
std::size_t available_processors();

// Whole processors the tightest cgroup CPU quota on this process's cgroup and
// its ancestors allows (at least 1), or nothing when no quota is set. `root`
// is prefixed to every path read (/proc/self/... and the cgroup mounts), so a
// test can lay out a fake tree.
std::optional<std::size_t> cgroup_cpu_limit(const std::string& root = {});

}  // namespace tarvik
