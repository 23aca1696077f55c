// replay_known: times the hand-written kernels of tools/replay_known.s as
// they are linked, each called once per round on a cell of its own, so that
// tools/jitloops/known.py can hold their replay (the same bytes read from a
// jitdump, run from a synthesized state) against their native time.
//
//     replay_known ITERATIONS ROUNDS NAME ...
//     replay_known --addresses
//
// NAME is a function of replay_known.s without its "known_" prefix
// ("plain_inc"). Each round calls every NAME in order; each call prints
//     run NAME NANOSECONDS VALUE
// VALUE being the cell after the call. --addresses prints `address NAME HEX`
// for each function instead. The program runs with its address space laid
// out without randomisation (it starts itself again so), so that its
// functions lie at the same addresses in every run: the addresses at which
// the jitdump puts their bytes for the replay. Exit status 2 on a bad
// argument.
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <sys/personality.h>
#include <unistd.h>

extern "C" {
#define KNOWN(form)                                                                                \
    std::uint64_t known_##form##_inc(std::uint64_t *, std::int64_t);                               \
    std::uint64_t known_##form##_arith(std::uint64_t *, std::int64_t);                             \
    std::uint64_t known_##form##_branch(std::uint64_t *, std::int64_t);
KNOWN(plain)
KNOWN(base_index)
KNOWN(swapped)
KNOWN(imul_load)
KNOWN(index_store)
KNOWN(guarded)
#undef KNOWN
}

namespace {

using Function = std::uint64_t (*)(std::uint64_t *, std::int64_t);

struct Named {
    const char *name;
    Function function;
};

#define NAMED(form)                                                                                \
    {#form "_inc", known_##form##_inc}, {#form "_arith", known_##form##_arith}, {                  \
#form "_branch", known_##form##_branch                                                     \
    }
const Named FUNCTIONS[] = {NAMED(plain),     NAMED(base_index),  NAMED(swapped),
                           NAMED(imul_load), NAMED(index_store), NAMED(guarded)};
#undef NAMED

std::int64_t now_ns() {
    timespec t{};
    if (clock_gettime(CLOCK_MONOTONIC, &t) != 0) {
        std::fprintf(stderr, "replay_known: cannot read the clock: %s\n", std::strerror(errno));
        std::exit(1);
    }
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

long long number(const char *text) {
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1) {
        std::fprintf(stderr, "replay_known: not a positive number: %s\n", text);
        std::exit(2);
    }
    return value;
}

} // namespace

int main(int argc, char **argv) {
    const int layout = personality(0xffffffff);
    if (layout != -1 && (layout & ADDR_NO_RANDOMIZE) == 0 &&
        personality(static_cast<unsigned long>(layout) | ADDR_NO_RANDOMIZE) != -1) {
        execv("/proc/self/exe", argv); // on failure, run as it is: the addresses then differ
    }
    if (argc == 2 && std::strcmp(argv[1], "--addresses") == 0) {
        for (const auto &each : FUNCTIONS) {
            std::printf("address %s %" PRIxPTR "\n", each.name,
                        reinterpret_cast<std::uintptr_t>(each.function));
        }
        return 0;
    }
    if (argc < 4) {
        std::fprintf(stderr, "usage: replay_known ITERATIONS ROUNDS NAME ...\n");
        return 2;
    }
    const long long iterations = number(argv[1]);
    const long long rounds = number(argv[2]);
    std::vector<Named> chosen;
    for (int k = 3; k < argc; ++k) {
        const Named *found = nullptr;
        for (const auto &each : FUNCTIONS) {
            found = std::strcmp(each.name, argv[k]) == 0 ? &each : found;
        }
        if (found == nullptr) {
            std::fprintf(stderr, "replay_known: no such kernel: %s\n", argv[k]);
            return 2;
        }
        chosen.push_back(*found);
    }
    // Cells two cache lines apart, the index-store form's neighbour included.
    alignas(64) static std::uint64_t cells[64][16];
    for (long long round = 0; round < rounds; ++round) {
        for (std::size_t k = 0; k < chosen.size(); ++k) {
            std::uint64_t *cell = cells[k % 64];
            *cell = 0;
            const std::int64_t start = now_ns();
            chosen[k].function(cell, iterations);
            const std::int64_t end = now_ns();
            std::printf("run %s %" PRId64 " %" PRIu64 "\n", chosen[k].name, end - start, *cell);
        }
    }
    return 0;
}
