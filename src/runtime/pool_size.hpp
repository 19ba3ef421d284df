// How many workers the process-wide pool starts with.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace runtime {

// Parses a thread-count variable: digits only, an optional leading '+', no
// '-', no blanks, no overflow of std::size_t; std::nullopt when the text is
// not such a number.
std::optional<std::size_t> parse_thread_count(const char* text) noexcept;

// The pool size: "RAYON_NUM_THREADS", then "RAYON_RS_NUM_CPUS", then the
// processors available to the process.  Reads the environment on every call.
std::size_t configured_pool_size();

// Processors available to the process: its affinity set, further limited by
// a cgroup processor quota; 1 when nothing can be determined.
std::size_t available_processors();

namespace detail {

// The processor limit that a cgroup quota puts on the process, given the text
// of /proc/self/cgroup and of /proc/self/mountinfo; the quota files are read
// below `fs_root` (empty for the live file system).  The smallest
// floor(quota / period) over the process's cgroup and its ancestors, at least
// 1; std::nullopt when no quota applies.
std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_cgroup,
                                            std::string_view mountinfo,
                                            const std::string& fs_root);

}  // namespace detail

}  // namespace runtime
