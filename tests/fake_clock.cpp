// A test double for the monotonic clock, preloaded into the benchmark with
// LD_PRELOAD. It replaces clock_gettime and, driven by environment variables:
//   FAKE_CLOCK_FAIL_AT=N   makes the Nth call (counting from 1) fail with EINVAL
//   FAKE_CLOCK_STEP_NS=S   makes the Kth call (counting from 0) report K*S ns
//                          instead of the real time, so every measurement
//                          lasts exactly S ns
//   FAKE_CLOCK_COUNT_FILE  names a file that receives the number of calls at exit
// With none of them set it forwards every call to the real clock_gettime.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>

namespace {

using clock_gettime_fn = int (*)(clockid_t, timespec *);

std::uint64_t calls = 0;

std::uint64_t env_number(const char *name) {
    const char *text = std::getenv(name);
    return text == nullptr ? 0 : std::strtoull(text, nullptr, 10);
}

clock_gettime_fn real_clock_gettime() {
    static const auto real = reinterpret_cast<clock_gettime_fn>(dlsym(RTLD_NEXT, "clock_gettime"));
    return real;
}

struct CountWriter {
    CountWriter() = default;
    CountWriter(const CountWriter &) = delete;
    CountWriter &operator=(const CountWriter &) = delete;
    ~CountWriter() {
        if (const char *path = std::getenv("FAKE_CLOCK_COUNT_FILE")) {
            if (std::FILE *out = std::fopen(path, "w")) {
                std::fprintf(out, "%llu\n", static_cast<unsigned long long>(calls));
                std::fclose(out);
            }
        }
    }
};
const CountWriter count_writer;

} // namespace

extern "C" int clock_gettime(clockid_t clock, timespec *ts) {
    ++calls;
    if (calls == env_number("FAKE_CLOCK_FAIL_AT")) {
        errno = EINVAL;
        return -1;
    }
    if (const std::uint64_t step = env_number("FAKE_CLOCK_STEP_NS"); step != 0) {
        const std::uint64_t now = (calls - 1) * step;
        ts->tv_sec = static_cast<time_t>(now / 1000000000U);
        ts->tv_nsec = static_cast<long>(now % 1000000000U);
        return 0;
    }
    return real_clock_gettime()(clock, ts);
}
