// The size of the process-wide worker pool: the thread-count environment
// variables, else the processors available to the process (its affinity set,
// limited by a cgroup processor quota).
#include "runtime/pool_size.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

namespace runtime {

std::optional<std::size_t> parse_thread_count(const char* text) noexcept {
    if (text == nullptr) return std::nullopt;
    const char* p = text;
    if (*p == '+') ++p;
    if (*p == '\0') return std::nullopt;
    constexpr std::size_t largest = std::numeric_limits<std::size_t>::max();
    std::size_t value = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return std::nullopt;
        const auto digit = static_cast<std::size_t>(*p - '0');
        if (value > (largest - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t configured_pool_size() {
    // A zero thread count asks for the default and ends the search.
    if (const auto count = parse_thread_count(std::getenv("RAYON_NUM_THREADS"))) {
        return *count > 0 ? *count : available_processors();
    }
    if (const auto count = parse_thread_count(std::getenv("RAYON_RS_NUM_CPUS")); count && *count > 0) {
        return *count;
    }
    return available_processors();
}

namespace {

std::optional<std::string> read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    return text;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t stop = text.find(separator, start);
        parts.push_back(text.substr(start, stop == std::string_view::npos ? stop : stop - start));
        if (stop == std::string_view::npos) return parts;
        start = stop + 1;
    }
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    for (const auto part : split(line, ' ')) {
        if (!part.empty()) out.push_back(part);
    }
    return out;
}

bool has_option(std::string_view list, std::string_view name) {
    const auto options = split(list, ',');
    return std::find(options.begin(), options.end(), name) != options.end();
}

template <class T>
std::optional<T> parse_number(std::string_view text) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// Mount points in mountinfo escape blanks and backslashes as \ooo.
std::string unescape_mount_path(std::string_view text) {
    const auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && octal(text[i + 1]) && octal(text[i + 2]) &&
            octal(text[i + 3])) {
            out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

struct CgroupMount {
    std::string root;   // the hierarchy's directory shown at the mount point
    std::string point;  // where it is mounted
    bool unified;       // cgroup v2
    bool has_cpu;       // a v1 hierarchy carrying the cpu controller
};

// A mount point without its trailing slashes; the file-system root is "".
std::string mount_point(std::string_view text) {
    std::string point = unescape_mount_path(text);
    while (!point.empty() && point.back() == '/') point.pop_back();
    return point;
}

std::vector<CgroupMount> cgroup_mounts(std::string_view mountinfo) {
    // ID parent major:minor root point options [optional...] - type source super-options
    std::vector<CgroupMount> mounts;
    for (const auto line : split(mountinfo, '\n')) {
        const auto fields = words(line);
        const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
        if (dash - fields.begin() < 6 || fields.end() - dash < 4) continue;
        const std::string_view type = dash[1];
        if (type == "cgroup2") {
            mounts.push_back({unescape_mount_path(fields[3]), mount_point(fields[4]), true, false});
        } else if (type == "cgroup") {
            mounts.push_back({unescape_mount_path(fields[3]), mount_point(fields[4]), false,
                              has_option(dash[3], "cpu")});
        }
    }
    return mounts;
}

// The directory of cgroup `path` under `mount`, if the mount shows it.
std::optional<std::string> cgroup_directory(const CgroupMount& mount, std::string_view path) {
    std::string_view root = mount.root;
    while (!root.empty() && root.back() == '/') root.remove_suffix(1);
    if (!root.empty()) {
        if (path.substr(0, root.size()) != root) return std::nullopt;
        path.remove_prefix(root.size());
        if (!path.empty() && path.front() != '/') return std::nullopt;
    }
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    std::string dir = mount.point;
    if (!path.empty()) dir.append("/").append(path);
    return dir;
}

struct QuotaWalk {
    bool controller_found = false;  // some level carries the quota files
    std::optional<std::size_t> limit;

    void apply(unsigned long long quota, unsigned long long period) {
        if (period == 0) return;
        const auto cpus = static_cast<std::size_t>(std::max(1ULL, quota / period));
        limit = limit ? std::min(*limit, cpus) : cpus;
    }
};

// Reads the quota at every level from the process's cgroup (`leaf`) up to
// the top of the hierarchy (`top`, a prefix of `leaf`).
template <class ReadLevel>
void walk_up(const std::string& fs_root, const std::string& leaf, const std::string& top,
             ReadLevel&& read_level) {
    std::string dir = leaf;
    while (true) {
        read_level(fs_root + dir);
        if (dir.size() <= top.size()) return;
        dir.resize(dir.rfind('/'));
    }
}

// cgroup v2: cpu.max holds "max period" or "quota period".
QuotaWalk unified_quota(const std::string& fs_root, const std::string& leaf, const std::string& top) {
    QuotaWalk walk;
    walk_up(fs_root, leaf, top, [&](const std::string& dir) {
        const auto text = read_text(dir + "/cpu.max");
        if (!text) return;
        walk.controller_found = true;
        const auto fields = words(std::string_view(*text).substr(0, text->find('\n')));
        if (fields.size() != 2 || fields[0] == "max") return;
        const auto quota = parse_number<unsigned long long>(fields[0]);
        const auto period = parse_number<unsigned long long>(fields[1]);
        if (quota && period) walk.apply(*quota, *period);
    });
    return walk;
}

std::string_view first_line(const std::string& text) {
    return std::string_view(text).substr(0, text.find('\n'));
}

// cgroup v1: cpu.cfs_quota_us (-1 for none) over cpu.cfs_period_us.
QuotaWalk legacy_quota(const std::string& fs_root, const std::string& leaf, const std::string& top) {
    QuotaWalk walk;
    walk_up(fs_root, leaf, top, [&](const std::string& dir) {
        const auto quota_text = read_text(dir + "/cpu.cfs_quota_us");
        const auto period_text = read_text(dir + "/cpu.cfs_period_us");
        if (!quota_text || !period_text) return;
        walk.controller_found = true;
        const auto quota = parse_number<long long>(first_line(*quota_text));
        const auto period = parse_number<unsigned long long>(first_line(*period_text));
        if (quota && period && *quota >= 0) walk.apply(static_cast<unsigned long long>(*quota), *period);
    });
    return walk;
}

std::optional<std::size_t> affinity_count() {
    for (int cpus = 1024; cpus <= (1 << 22); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return std::nullopt;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        if (sched_getaffinity(0, bytes, set) == 0) {
            const int count = CPU_COUNT_S(bytes, set);
            CPU_FREE(set);
            if (count <= 0) return std::nullopt;
            return static_cast<std::size_t>(count);
        }
        const int error = errno;
        CPU_FREE(set);
        if (error != EINVAL) return std::nullopt;  // EINVAL: the kernel's mask is larger
    }
    return std::nullopt;
}

}  // namespace

namespace detail {

std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_cgroup, std::string_view mountinfo,
                                            const std::string& fs_root) {
    // Lines read "hierarchy:controllers:path"; "0::path" is the unified hierarchy.
    std::optional<std::string_view> unified_path;
    std::optional<std::string_view> cpu_path;
    for (const auto line : split(proc_cgroup, '\n')) {
        const std::size_t first = line.find(':');
        if (first == std::string_view::npos) continue;
        const std::size_t second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view hierarchy = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (hierarchy == "0" && controllers.empty()) {
            unified_path = path;
        } else if (has_option(controllers, "cpu")) {
            cpu_path = path;
        }
    }

    auto mounts = cgroup_mounts(mountinfo);
    const auto unified_mounted = std::any_of(mounts.begin(), mounts.end(), [](const auto& m) { return m.unified; });
    const auto cpu_mounted = std::any_of(mounts.begin(), mounts.end(), [](const auto& m) { return m.has_cpu; });
    if (!unified_mounted) mounts.push_back({"/", "/sys/fs/cgroup", true, false});
    if (!cpu_mounted) mounts.push_back({"/", "/sys/fs/cgroup/cpu", false, true});

    if (unified_path) {
        for (const auto& mount : mounts) {
            if (!mount.unified) continue;
            const auto dir = cgroup_directory(mount, *unified_path);
            if (!dir) continue;
            const auto walk = unified_quota(fs_root, *dir, mount.point);
            if (walk.controller_found) return walk.limit;
        }
    }
    if (cpu_path) {
        for (const auto& mount : mounts) {
            if (!mount.has_cpu) continue;
            const auto dir = cgroup_directory(mount, *cpu_path);
            if (!dir) continue;
            const auto walk = legacy_quota(fs_root, *dir, mount.point);
            if (walk.controller_found) return walk.limit;
        }
    }
    return std::nullopt;
}

}  // namespace detail

std::size_t available_processors() {
    std::optional<std::size_t> count = affinity_count();
    if (!count) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        if (online > 0) count = static_cast<std::size_t>(online);
    }
    if (const auto cgroup = read_text("/proc/self/cgroup")) {
        const auto mountinfo = read_text("/proc/self/mountinfo");
        if (const auto limit = detail::cgroup_cpu_limit(*cgroup, mountinfo ? *mountinfo : std::string(), "")) {
            count = count ? std::min(*count, *limit) : *limit;
        }
    }
    return count.value_or(1);
}

}  // namespace runtime
