// A test double for the monotonic clock, preloaded into the benchmark with
// LD_PRELOAD. It replaces clock_gettime and, driven by environment variables:
//   FAKE_CLOCK_FAIL_AT=N   makes the Nth call (counting from 1) fail with EINVAL
//   FAKE_CLOCK_STEP_NS=S   makes the Kth call (counting from 0) report K*S ns
//                          instead of the real time, so every measurement
//                          lasts exactly S ns
//   FAKE_CLOCK_COUNT_FILE  names a file that receives the number of calls at exit
// With none of them set it forwards every call to the real clock_gettime.
// Only calls made while main runs are counted or faked: a sanitizer runtime
// reads the clock for itself before main starts, and those calls must
// neither shift the count nor be failed.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>

namespace {

using clock_gettime_fn = int (*)(clockid_t, timespec *);
using main_fn = int (*)(int, char **, char **);
using start_main_fn = int (*)(main_fn, int, char **, void (*)(), void (*)(), void (*)(), void *);

std::uint64_t calls = 0;
bool in_main = false;
main_fn real_main = nullptr;

int watched_main(int argc, char **argv, char **envp) {
    in_main = true;
    const int status = real_main(argc, argv, envp);
    in_main = false;
    return status;
}

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

// The C library's entry into main, wrapped so the double knows when main runs.
// Interposing means defining the library's own (reserved) name.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
extern "C" int __libc_start_main(main_fn main, int argc, char **argv, void (*init)(),
                                 void (*fini)(), void (*rtld_fini)(), void *stack_end) {
    real_main = main;
    const auto real = reinterpret_cast<start_main_fn>(dlsym(RTLD_NEXT, "__libc_start_main"));
    return real(watched_main, argc, argv, init, fini, rtld_fini, stack_end);
}

// The header names the parameters with reserved identifiers, which a
// definition outside the C library must not use.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" int clock_gettime(clockid_t clock, timespec *ts) {
    if (!in_main) {
        return real_clock_gettime()(clock, ts);
    }
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
