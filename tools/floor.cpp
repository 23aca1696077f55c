// bench_floor: a measuring instrument, not part of the benchmark. It runs the
// benchmark's three kernels as hand-written loops in the processor's assembly
// (the forms in floor_forms.hpp for x86-64, floor_forms_aarch64.hpp for
// AArch64: every admissible way of writing each loop with one read and one
// write of the accumulator per iteration) and prints them in the
// benchmark's report format, so that tools/compare can show how close a
// compiled build comes to what this machine allows for the same memory
// traffic.
//
//   bench_floor                  the machine's floor. Which form is fastest
//                                depends on the processor (a read-modify-write
//                                on one, load/add/store on another), so a short
//                                search in this same process times every form
//                                and picks each kernel's fastest; then each
//                                kernel runs once, 1e8 iterations, in its pick.
//                                Standard error names the picks.
//   bench_floor --rolled         one iteration per trip, in the instruction
//                                sequences g++ 12 -O2 emits: the floor for a
//                                compiler or JIT that does not unroll.
//   bench_floor --form NAME ...  the named forms, at most one per kernel; a
//                                kernel not named runs in its fixed default
//                                form (DEFAULT_FORMS). Standard error says which
//                                form each kernel ran.
//   bench_floor --list           the forms' names, one per line.
//   bench_floor --search [--format table|json]
//                                every form's median time and cycles per
//                                iteration, ranked per kernel, with the command
//                                that runs the fastest.
//
// Any other argument is a usage error (exit 2). A clock that cannot be read
// or a report that cannot be written ends the run with exit status 1.
#if defined(__aarch64__)
#include "floor_forms_aarch64.hpp"
#else
#include "floor_forms.hpp"
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

using bench_floor::CHAIN_CYCLES_PER_STEP;
using bench_floor::DEFAULT_FORMS;
using bench_floor::Form;
using bench_floor::Kernel;
using bench_floor::KERNEL_COUNT;
using bench_floor::ROLLED_FORMS;
using bench_floor::Run;

constexpr std::int64_t ITERATIONS = 100000000;

// The report's facts, as the benchmark prints them; the tests hold these to
// tools/report.py. The finals are the signed readings after ITERATIONS.
constexpr std::array<const char *, KERNEL_COUNT> LABELS = {
    "Inc loop:", "Arith loop:", "Branch loop:"};
constexpr std::array<const char *, KERNEL_COUNT> KERNEL_NAMES = {"Inc loop", "Arith loop",
                                                                 "Branch loop"};
constexpr const char *BANNER = "=== Hardware floor (1e8 iterations) ===";
constexpr const char *ROLLED_BANNER = "=== Hardware floor, rolled loops (1e8 iterations) ===";
constexpr const char *DONE = "=== Done ===";

// The search. Every form is timed in rounds, each round running every form
// once in a shuffled order, so that drift in the machine's speed (a busy
// neighbour on the host, a clock change) falls on all forms alike. A form is
// judged by its median over the rounds: on a shared machine single runs are
// slowed by interruptions, and a loop can be bimodal (fast or about twice as
// slow, run after run); the median picks the form that is fast most of the
// time, where the minimum would pick the luckiest single run.
//
// The floor (no arguments) searches in two stages to stay short: every form
// at a small count, then the few best of each kernel again at a larger count
// with more rounds, so that the pick rests on runs long enough to hide the
// clock's own cost and a start-up transient.
constexpr std::int64_t SCREEN_ITERATIONS = 400000;
constexpr int SCREEN_ROUNDS = 5;
constexpr std::size_t FINALISTS = 4;
constexpr std::int64_t FINAL_ITERATIONS = 2000000;
constexpr int FINAL_ROUNDS = 9;
// --search: every form, at one count, more rounds.
constexpr std::int64_t SEARCH_ITERATIONS = 2000000;
constexpr int SEARCH_ROUNDS = 11;
// A first uncounted round at a tiny count brings every form's code into the
// caches and its pages into memory.
constexpr std::int64_t WARMUP_ITERATIONS = 1600;

// The cycle scale: a chain of dependent register operations whose latency
// in cycles is known (the forms file's CHAIN_*), timed in every round of a
// search.
constexpr std::int64_t CHAIN_TRIPS = 20000;
constexpr std::int64_t CHAIN_STEPS_PER_TRIP = 100;

std::int64_t chain_ns() {
    const std::int64_t start = bench_floor::read_monotonic_ns();
    bench_floor::chain<CHAIN_STEPS_PER_TRIP>(CHAIN_TRIPS);
    const std::int64_t end = bench_floor::read_monotonic_ns();
    return end - start;
}

// The accumulator a correct form leaves after n iterations: n; 7 times
// 1 + 3 + ... + 3^(n-1) (the closed form of x -> 3x + 7 from 0), modulo 2^64;
// n mod 2.
std::uint64_t expected_final(Kernel kernel, std::int64_t n) {
    const auto count = static_cast<std::uint64_t>(n);
    if (kernel == Kernel::inc) {
        return count;
    }
    if (kernel == Kernel::branch) {
        return count % 2;
    }
    // sum = 1 + 3 + ... + 3^(k-1) and power = 3^k, for k the leading bits of n.
    std::uint64_t sum = 0;
    std::uint64_t power = 1;
    for (int bit = 63; bit >= 0; --bit) {
        sum *= 1 + power; // k -> 2k
        power *= power;
        if (((count >> bit) & 1U) != 0) { // 2k -> 2k + 1
            sum = 3 * sum + 1;
            power *= 3;
        }
    }
    return 7 * sum;
}

std::size_t index_of(Kernel kernel) {
    return static_cast<std::size_t>(kernel);
}

// Runs a form; a wrong accumulator means a broken form, never a floor.
Run run_checked(const Form &form, std::int64_t n) {
    const Run run = form.run(n);
    const std::uint64_t expected = expected_final(form.kernel, n);
    if (run.x != expected) {
        std::fprintf(stderr,
                     "bench_floor: form %s left x=%" PRIu64 " after %" PRId64
                     " iterations, expected %" PRIu64 "\n",
                     form.name.c_str(), run.x, n, expected);
        std::exit(1);
    }
    return run;
}

double median(std::vector<std::int64_t> values) {
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    if (values.size() % 2 == 1) {
        return static_cast<double>(values[mid]);
    }
    return (static_cast<double>(values[mid - 1]) + static_cast<double>(values[mid])) / 2.0;
}

struct Timing {
    const Form *form;
    std::vector<std::int64_t> ns; // one per round, in round order
    double median_ns;
    std::int64_t min_ns;
    std::int64_t max_ns;
};

struct Search {
    std::int64_t iterations;
    int rounds;
    std::vector<Timing> timings; // in the order of the forms searched
    std::vector<std::int64_t> chain;

    // Nanoseconds per cycle, from the chain's median.
    double ns_per_cycle() const {
        return median(chain) /
               static_cast<double>(CHAIN_TRIPS * CHAIN_STEPS_PER_TRIP * CHAIN_CYCLES_PER_STEP);
    }
    double cycles_per_iteration(const Timing &timing) const {
        return timing.median_ns / static_cast<double>(iterations) / ns_per_cycle();
    }
};

Search search(const std::vector<const Form *> &forms, std::int64_t iterations, int rounds) {
    Search result{iterations, rounds, {}, {}};
    for (const Form *form : forms) {
        run_checked(*form, WARMUP_ITERATIONS);
        result.timings.push_back(Timing{form, {}, 0.0, 0, 0});
        result.timings.back().ns.reserve(static_cast<std::size_t>(rounds));
    }
    std::vector<std::size_t> order(forms.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
        order[k] = k;
    }
    std::minstd_rand shuffler(12345);
    for (int round = 0; round < rounds; ++round) {
        std::shuffle(order.begin(), order.end(), shuffler);
        result.chain.push_back(chain_ns());
        for (const std::size_t k : order) {
            result.timings[k].ns.push_back(run_checked(*forms[k], iterations).ns);
        }
    }
    for (Timing &timing : result.timings) {
        timing.median_ns = median(timing.ns);
        timing.min_ns = *std::min_element(timing.ns.begin(), timing.ns.end());
        timing.max_ns = *std::max_element(timing.ns.begin(), timing.ns.end());
    }
    return result;
}

// A kernel's timings, fastest first: by median, then minimum, then name.
std::vector<const Timing *> ranked(const Search &found, Kernel kernel) {
    std::vector<const Timing *> ranking;
    for (const Timing &timing : found.timings) {
        if (timing.form->kernel == kernel) {
            ranking.push_back(&timing);
        }
    }
    std::sort(ranking.begin(), ranking.end(), [](const Timing *a, const Timing *b) {
        if (a->median_ns != b->median_ns) {
            return a->median_ns < b->median_ns;
        }
        if (a->min_ns != b->min_ns) {
            return a->min_ns < b->min_ns;
        }
        return a->form->name < b->form->name;
    });
    return ranking;
}

const Form *find_form(const std::vector<Form> &forms, std::string_view name) {
    for (const Form &form : forms) {
        if (form.name == name) {
            return &form;
        }
    }
    return nullptr;
}

// The forms a search times: all but the probe's negative controls.
std::vector<const Form *> searched(const std::vector<Form> &forms) {
    std::vector<const Form *> chosen;
    chosen.reserve(forms.size());
    for (const Form &form : forms) {
        if (!form.control) {
            chosen.push_back(&form);
        }
    }
    return chosen;
}

// One result line, exactly as the benchmark prints it.
void print_result(Kernel kernel, const Run &run) {
    std::printf("%-13s%8.2f ms  (x=%lld)\n", LABELS[index_of(kernel)],
                static_cast<double>(run.ns) / 1000000.0, static_cast<long long>(run.x));
}

// The report: each kernel once, ITERATIONS iterations, in the given form.
void report(const char *banner, const std::array<const Form *, KERNEL_COUNT> &picks) {
    std::printf("%s\n\n", banner);
    for (const Form *form : picks) {
        print_result(form->kernel, run_checked(*form, ITERATIONS));
    }
    std::printf("\n%s\n", DONE);
}

std::array<const Form *, KERNEL_COUNT> floor_picks(const std::vector<Form> &forms) {
    const std::vector<const Form *> candidates = searched(forms);
    const Search screen = search(candidates, SCREEN_ITERATIONS, SCREEN_ROUNDS);
    std::vector<const Form *> finalists;
    for (int k = 0; k < KERNEL_COUNT; ++k) {
        const std::vector<const Timing *> ranking = ranked(screen, static_cast<Kernel>(k));
        for (std::size_t r = 0; r < std::min(FINALISTS, ranking.size()); ++r) {
            finalists.push_back(ranking[r]->form);
        }
    }
    const Search final_round = search(finalists, FINAL_ITERATIONS, FINAL_ROUNDS);
    std::array<const Form *, KERNEL_COUNT> picks{};
    for (int k = 0; k < KERNEL_COUNT; ++k) {
        const auto kernel = static_cast<Kernel>(k);
        const Timing *best = ranked(final_round, kernel).front();
        picks[index_of(kernel)] = best->form;
        std::fprintf(stderr,
                     "bench_floor: %s: %s, the fastest of %zu forms (median %.2f cycles per "
                     "iteration in the search)\n",
                     KERNEL_NAMES[index_of(kernel)], best->form->name.c_str(),
                     ranked(screen, kernel).size(), final_round.cycles_per_iteration(*best));
    }
    return picks;
}

// A word for the shell: as it is when it needs no quoting, else in single
// quotes.
std::string shell_word(std::string_view word) {
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return std::strchr("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_./+-=:,",
                           c) != nullptr &&
               c != '\0';
    });
    if (plain) {
        return std::string(word);
    }
    std::string quoted = "'";
    for (const char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

std::string form_command(const std::string &program, const std::vector<const Form *> &forms) {
    std::string command = shell_word(program);
    for (const Form *form : forms) {
        command += " --form " + form->name;
    }
    return command;
}

// One piece of UTF-8 text: a well-formed character of `length` bytes, or an
// ill-formed stretch that one U+FFFD stands for: a byte that cannot start a
// character, or the longest start of one that breaks off (Unicode's
// "maximal subpart", as Python's decode(errors="replace") takes it too).
struct Utf8Piece {
    std::size_t length;
    bool valid;
};

Utf8Piece utf8_piece(std::string_view text) {
    const auto byte = [text](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned lead = byte(0);
    if (lead < 0x80) {
        return {1, true};
    }
    // The length the lead byte announces and the range of the byte after it,
    // which excludes overlong forms, surrogates and code points past U+10FFFF.
    std::size_t length = 0;
    unsigned low = 0x80;
    unsigned high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : low;
        high = lead == 0xed ? 0x9f : high;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : low;
        high = lead == 0xf4 ? 0x8f : high;
    } else {
        return {1, false};
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (k == text.size() || byte(k) < (k == 1 ? low : 0x80) ||
            byte(k) > (k == 1 ? high : 0xbf)) {
            return {k, false};
        }
    }
    return {length, true};
}

// A JSON string: the forms' names and the program's path, escaped. The path
// is bytes, not always UTF-8: what is not well-formed UTF-8 becomes \ufffd,
// so that the document is valid JSON for any reader; the rest is kept.
std::string json_string(std::string_view text) {
    std::string out = "\"";
    while (!text.empty()) {
        const Utf8Piece piece = utf8_piece(text);
        const auto byte = static_cast<unsigned char>(text[0]);
        if (!piece.valid) {
            out += "\\ufffd";
        } else if (byte == '"' || byte == '\\') {
            out += '\\';
            out += text[0];
        } else if (byte < 0x20) {
            std::array<char, 8> escaped{};
            std::snprintf(escaped.data(), escaped.size(), "\\u%04x", byte);
            out += escaped.data();
        } else {
            out += text.substr(0, piece.length);
        }
        text.remove_prefix(piece.length);
    }
    return out + "\"";
}

void print_search_table(const Search &found, const std::string &program) {
    std::printf("bench_floor --search: %zu forms, %d interleaved rounds of %" PRId64
                " iterations each\n",
                found.timings.size(), found.rounds, found.iterations);
    std::printf("cycle scale: %.3f GHz, from a chain of dependent %s timed in every round\n",
                1.0 / found.ns_per_cycle(), bench_floor::CHAIN_WORDS);
    std::vector<const Form *> fastest;
    for (int k = 0; k < KERNEL_COUNT; ++k) {
        const auto kernel = static_cast<Kernel>(k);
        const std::vector<const Timing *> ranking = ranked(found, kernel);
        std::printf("\n%s: %zu forms\n", KERNEL_NAMES[index_of(kernel)], ranking.size());
        std::printf("%4s  %-26s %10s %10s %10s %13s\n", "rank", "form", "median ms", "min ms",
                    "max ms", "cycles/iter");
        for (std::size_t r = 0; r < ranking.size(); ++r) {
            const Timing &timing = *ranking[r];
            std::printf(
                "%4zu  %-26s %10.3f %10.3f %10.3f %13.3f\n", r + 1, timing.form->name.c_str(),
                timing.median_ns / 1e6, static_cast<double>(timing.min_ns) / 1e6,
                static_cast<double>(timing.max_ns) / 1e6, found.cycles_per_iteration(timing));
        }
        fastest.push_back(ranking.front()->form);
        std::printf("fastest: %s\n", form_command(program, {ranking.front()->form}).c_str());
    }
    std::printf("\nall three fastest: %s\n", form_command(program, fastest).c_str());
}

void print_search_json(const Search &found, const std::string &program) {
    std::printf("{\n  \"schema\": \"bench_floor-search/1\",\n");
    std::printf("  \"iterations\": %" PRId64 ",\n  \"rounds\": %d,\n", found.iterations,
                found.rounds);
    std::printf("  \"calibration\": {\"chain\": %s, \"cycles_per_step\": %" PRId64
                ", \"steps\": %" PRId64 ", \"median_ns\": %.1f, \"ghz\": %.4f},\n",
                json_string(bench_floor::CHAIN_STEP).c_str(), CHAIN_CYCLES_PER_STEP,
                CHAIN_TRIPS * CHAIN_STEPS_PER_TRIP, median(found.chain),
                1.0 / found.ns_per_cycle());
    std::printf("  \"kernels\": [\n");
    std::vector<const Form *> fastest;
    for (int k = 0; k < KERNEL_COUNT; ++k) {
        const auto kernel = static_cast<Kernel>(k);
        const std::vector<const Timing *> ranking = ranked(found, kernel);
        fastest.push_back(ranking.front()->form);
        std::printf("    {\"kernel\": %s, \"fastest\": %s, \"command\": %s, \"forms\": [\n",
                    json_string(KERNEL_NAMES[index_of(kernel)]).c_str(),
                    json_string(ranking.front()->form->name).c_str(),
                    json_string(form_command(program, {ranking.front()->form})).c_str());
        for (std::size_t r = 0; r < ranking.size(); ++r) {
            const Timing &timing = *ranking[r];
            std::printf("      {\"rank\": %zu, \"form\": %s, \"unroll\": %" PRId64
                        ", \"median_ms\": %.6f, \"min_ms\": %.6f, \"max_ms\": %.6f, "
                        "\"cycles_per_iteration\": %.4f, \"runs_ms\": [",
                        r + 1, json_string(timing.form->name).c_str(), timing.form->unroll,
                        timing.median_ns / 1e6, static_cast<double>(timing.min_ns) / 1e6,
                        static_cast<double>(timing.max_ns) / 1e6,
                        found.cycles_per_iteration(timing));
            for (std::size_t i = 0; i < timing.ns.size(); ++i) {
                std::printf("%s%.6f", i == 0 ? "" : ", ", static_cast<double>(timing.ns[i]) / 1e6);
            }
            std::printf("]}%s\n", r + 1 < ranking.size() ? "," : "");
        }
        std::printf("    ]}%s\n", k + 1 < KERNEL_COUNT ? "," : "");
    }
    std::printf("  ],\n  \"command\": %s\n}\n",
                json_string(form_command(program, fastest)).c_str());
}

#ifdef BENCH_FLOOR_PROBE
// The tests' probe: every form, the broken ones too, at one small count, in
// table order. Before each form it writes the form's number to `trace_marker`,
// so that a memory trace of the run (valgrind's lackey) splits at those
// writes into one stretch per form. Nothing whose memory traffic depends on
// the count runs between two marks: the results are printed after the last.
volatile std::uint64_t trace_marker = 0;

int trace(const std::vector<Form> &forms, std::int64_t n) {
    struct Traced {
        std::uintptr_t address;
        std::uint64_t x;
    };
    std::vector<Traced> traced(forms.size());
    for (std::size_t k = 0; k < forms.size(); ++k) {
        trace_marker = k;
        const Run run = forms[k].run(n);
        traced[k] = Traced{bench_floor::last_accumulator, run.x};
    }
    trace_marker = forms.size();
    std::printf("marker %#" PRIxPTR "\n", reinterpret_cast<std::uintptr_t>(&trace_marker));
    for (std::size_t k = 0; k < forms.size(); ++k) {
        std::printf("form %s %#" PRIxPTR " %lld\n", forms[k].name.c_str(), traced[k].address,
                    static_cast<long long>(traced[k].x));
    }
    return 0;
}

// --values N: the accumulator after every iteration, inside a trip too. Each
// form whose unroll divides N (the broken ones too) runs at N. On AArch64 it
// runs once, printing its final accumulator: user code cannot single-step
// itself there, so the tests step that run from outside (qemu's gdb stub).
// On x86-64 it runs twice: as it is, for its final accumulator, and
// single-stepped: with the processor's
// trap flag set, every instruction ends in a SIGTRAP, whose handler notes
// each new value in the accumulator the form is running (its address is
// last_accumulator, 0 until the form sets it). No iteration leaves the
// accumulator as it found it, so the values noted are the value after each
// iteration, in order; the first may be what the slot held before the
// reset. The handler runs on a stack of its own, so that its frames never
// land on the slot of a form that has returned.
constexpr std::size_t MAX_VALUES = 8192;
#if defined(__x86_64__)
std::array<std::uint64_t, MAX_VALUES> stepped_values{};
volatile std::size_t stepped_count = 0;

[[gnu::no_sanitize_address]] void note_value(int /*signal*/) {
    const std::uintptr_t address = bench_floor::last_accumulator;
    if (address == 0) {
        return;
    }
    const std::uint64_t value = *std::bit_cast<const volatile std::uint64_t *>(address);
    const std::size_t count = stepped_count;
    if (count == 0 || (count <= MAX_VALUES && stepped_values[count - 1] != value)) {
        if (count < MAX_VALUES) {
            stepped_values[count] = value;
        }
        stepped_count = count + 1;
    }
}

constexpr std::uint64_t TRAP_FLAG = 0x100;

Run run_stepped(const Form &form, std::int64_t n) {
    stepped_count = 0;
    bench_floor::last_accumulator = 0;
    const std::uint64_t flags = __builtin_ia32_readeflags_u64();
    __builtin_ia32_writeeflags_u64(flags | TRAP_FLAG);
    const Run run = form.run(n);
    __builtin_ia32_writeeflags_u64(flags & ~TRAP_FLAG);
    return run;
}

#endif

int values(const std::vector<Form> &forms, std::int64_t n) {
#if defined(__x86_64__)
    static std::array<char, 1 << 16> handler_stack{};
    stack_t stack{};
    stack.ss_sp = handler_stack.data();
    stack.ss_size = handler_stack.size();
    struct sigaction action {};
    action.sa_handler = note_value;
    action.sa_flags = SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    if (sigaltstack(&stack, nullptr) != 0 || sigaction(SIGTRAP, &action, nullptr) != 0) {
        std::fprintf(stderr, "bench_floor: cannot catch SIGTRAP: %s\n", std::strerror(errno));
        return 1;
    }
#endif
    for (const Form &form : forms) {
        if (n % form.unroll != 0) {
            continue;
        }
        const Run plain = form.run(n);
#if defined(__x86_64__)
        const Run stepped = run_stepped(form, n);
        if (stepped_count > MAX_VALUES) {
            std::fprintf(stderr, "bench_floor: form %s took more than %zu values\n",
                         form.name.c_str(), MAX_VALUES);
            return 1;
        }
        std::printf("form %s %lld %lld", form.name.c_str(), static_cast<long long>(plain.x),
                    static_cast<long long>(stepped.x));
        for (std::size_t k = 0; k < stepped_count; ++k) {
            std::printf(" %lld", static_cast<long long>(stepped_values[k]));
        }
#else
        std::printf("form %s %lld", form.name.c_str(), static_cast<long long>(plain.x));
#endif
        std::printf("\n");
    }
    return 0;
}
#endif

constexpr const char *USAGE =
    "usage: bench_floor                  the floor: each kernel in its fastest form, searched\n"
    "       bench_floor --rolled         one iteration per trip, in g++ -O2's forms\n"
    "       bench_floor --form NAME ...  the named forms (one per kernel; others: the default)\n"
    "       bench_floor --list           the forms' names\n"
    "       bench_floor --search [--format table|json]\n"
    "                                    every form's time and cycles per iteration, ranked\n";

int usage_error(const std::string &problem) {
    std::fprintf(stderr, "bench_floor: %s\n%s", problem.c_str(), USAGE);
    return 2;
}

// An argument as it can be shown on a terminal: printable ASCII as it is,
// every other byte as \xNN.
std::string printable(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && c != '\\') {
            out += c;
        } else {
            std::array<char, 8> escaped{};
            std::snprintf(escaped.data(), escaped.size(), "\\x%02x", byte);
            out += escaped.data();
        }
    }
    return "'" + out + "'";
}

// The end of every run that printed: if any of the output could not be
// written (a full disk, a closed descriptor, a reader gone), say so and fail
// rather than exit 0 with the output lost. The error indicator catches a
// write that failed earlier, when the line was flushed on its own.
int finish() {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        const int err = errno;
        if (err != 0) {
            std::fprintf(stderr, "bench_floor: write error: %s\n", std::strerror(err));
        } else {
            std::fprintf(stderr, "bench_floor: write error\n");
        }
        return 1;
    }
    return 0;
}

// --form NAME ... (or --form=NAME): at most one form per kernel.
std::optional<std::array<const Form *, KERNEL_COUNT>>
parse_forms(const std::vector<Form> &forms, const std::vector<std::string_view> &args,
            std::string &problem) {
    std::array<const Form *, KERNEL_COUNT> named{};
    for (std::size_t a = 0; a < args.size(); ++a) {
        std::string_view name;
        if (args[a] == "--form") {
            if (a + 1 == args.size()) {
                problem = "--form needs a form's name (bench_floor --list names them)";
                return std::nullopt;
            }
            name = args[++a];
        } else if (args[a].substr(0, 7) == "--form=") {
            name = args[a].substr(7);
        } else {
            problem = "unexpected argument " + printable(args[a]);
            return std::nullopt;
        }
        const Form *form = find_form(forms, name);
        if (form == nullptr) {
            problem = "no form named " + printable(name) + " (bench_floor --list names them)";
            return std::nullopt;
        }
        const Form *&slot = named[index_of(form->kernel)];
        if (slot != nullptr) {
            problem = "two forms for the " + std::string(KERNEL_NAMES[index_of(form->kernel)]) +
                      ": " + slot->name + " and " + form->name;
            return std::nullopt;
        }
        slot = form;
    }
    return named;
}

int run_forms(const std::vector<Form> &forms, const std::vector<std::string_view> &args) {
    std::string problem;
    const auto named = parse_forms(forms, args, problem);
    if (!named) {
        return usage_error(problem);
    }
    std::array<const Form *, KERNEL_COUNT> picks{};
    for (std::size_t k = 0; k < picks.size(); ++k) {
        picks[k] = (*named)[k] != nullptr ? (*named)[k] : find_form(forms, DEFAULT_FORMS[k]);
        std::fprintf(stderr, "bench_floor: %s: %s (%s)\n", KERNEL_NAMES[k], picks[k]->name.c_str(),
                     (*named)[k] != nullptr ? "named" : "default");
    }
    report(BANNER, picks);
    return finish();
}

int run_search(const std::vector<Form> &forms, const std::vector<std::string_view> &args,
               const std::string &program) {
    // --format once at most: a second one would silently override the first.
    std::optional<std::string_view> format;
    for (std::size_t a = 1; a < args.size(); ++a) {
        std::string_view value;
        if (args[a] == "--format") {
            if (a + 1 == args.size()) {
                return usage_error("--format needs a value: table or json");
            }
            value = args[++a];
        } else if (args[a].substr(0, 9) == "--format=") {
            value = args[a].substr(9);
        } else {
            return usage_error("unexpected argument " + printable(args[a]) + " after --search");
        }
        if (format) {
            return usage_error("--format given twice");
        }
        if (value != "table" && value != "json") {
            return usage_error("--format takes table or json, not " + printable(value));
        }
        format = value;
    }
    const bool json = format == "json";
    const Search found = search(searched(forms), SEARCH_ITERATIONS, SEARCH_ROUNDS);
    if (json) {
        print_search_json(found, program);
    } else {
        print_search_table(found, program);
    }
    return finish();
}

int run(const std::vector<std::string_view> &args, const std::string &program) {
    const std::vector<Form> forms = bench_floor::all_forms();
    if (args.empty()) {
        const std::array<const Form *, KERNEL_COUNT> picks = floor_picks(forms);
        report(BANNER, picks);
        return finish();
    }
    if ((args[0] == "--rolled" || args[0] == "--list") && args.size() > 1) {
        return usage_error("unexpected argument " + printable(args[1]) + " after " +
                           std::string(args[0]));
    }
    if (args[0] == "--rolled") {
        std::array<const Form *, KERNEL_COUNT> picks{};
        for (std::size_t k = 0; k < picks.size(); ++k) {
            picks[k] = find_form(forms, ROLLED_FORMS[k]);
        }
        report(ROLLED_BANNER, picks);
        return finish();
    }
    if (args[0] == "--list") {
        for (const Form &form : forms) {
            std::printf("%s\n", form.name.c_str());
        }
        return finish();
    }
    if (args[0] == "--search") {
        return run_search(forms, args, program);
    }
    if (args[0] == "--form" || args[0].substr(0, 7) == "--form=") {
        return run_forms(forms, args);
    }
#ifdef BENCH_FLOOR_PROBE
    if (args.size() == 2 && args[0] == "--trace") {
        std::int64_t lcm = 1;
        for (const Form &form : forms) {
            lcm = std::lcm(lcm, form.unroll);
        }
        const std::int64_t n = std::strtoll(std::string(args[1]).c_str(), nullptr, 10);
        if (n <= 0 || n % lcm != 0) {
            return usage_error("--trace takes a positive multiple of " + std::to_string(lcm));
        }
        const int status = trace(forms, n);
        return status != 0 ? status : finish();
    }
    if (args.size() == 2 && args[0] == "--values") {
        const std::string count(args[1]);
        const bool digits = !count.empty() && count.size() <= 6 &&
                            count.find_first_not_of("0123456789") == std::string::npos;
        const std::int64_t n = digits ? std::stoll(count) : 0;
        if (n <= 0 || n > static_cast<std::int64_t>(MAX_VALUES) - 2) {
            return usage_error("--values takes a count from 1 to " +
                               std::to_string(MAX_VALUES - 2));
        }
        const int status = values(forms, n);
        return status != 0 ? status : finish();
    }
#endif
    return usage_error("unexpected argument " + printable(args[0]));
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string_view> args;
    for (int a = 1; a < argc; ++a) {
        args.emplace_back(argv[a]);
    }
    return run(args, argc > 0 ? argv[0] : "bench_floor");
}
