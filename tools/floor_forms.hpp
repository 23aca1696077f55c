// The forms of bench_floor's kernels: every way this file knows of writing
// each of the benchmark's three loops by hand in x86-64 assembly while
// keeping the benchmark's rule for them, each as a timed function.
//
// The rule, for every form: per iteration exactly one read and one write of
// the accumulator in memory, the read first; the index and the loop control
// in registers; no other memory access inside the loop; the kernel's exact
// arithmetic (x+1, x*3+7 modulo 2^64, +1 on an even index and -1 on an odd
// one). What varies is only how the processor is asked to do it:
//
//   inc.rmw          addq $1,(x): one read-modify-write instruction
//   inc.add          mov (x),%rax; add $1,%rax; mov %rax,(x)
//   inc.lea          mov; lea 1(%rax),%rax; mov
//   arith.lea        mov; lea 7(%rax,%rax,2),%rax; mov
//   arith.lea-add    mov; lea (%rax,%rax,2),%rax; add $7,%rax; mov
//   arith.imul-add   mov; imul $3,%rax,%rax; add $7,%rax; mov
//   branch.rmw       folded pairs: addq $1,(x); subq $1,(x). Unrolled by an
//   branch.add       even factor, the index's parity at every position of
//   branch.lea       the body is known, so the test disappears; the pairs
//                    are read-modify-write, mov/add|sub/mov, or mov/lea/mov
//   branch.test-rmw  the parity test kept: every iteration tests the index's
//   branch.test-add  low bit and branches to a +1 or a -1 arm (addq/subq on
//                    memory, or mov, add|sub, mov around the test)
//   branch.test-split  g++ -O2's own layout: entered at the load and test,
//                    each arm stores, counts and closes the loop itself, so
//                    every iteration takes exactly one taken branch (one
//                    iteration per trip only)
//
// Each is built for every unroll factor in the table below (iterations per
// trip round the loop; folded pairs come in even factors) and twice: with the
// loop's first instruction at a 64-byte boundary (a64), and 56 bytes past one
// (s64), so that the loop straddles the boundary the way a compiler's loop can
// when nobody aligns it. A form's name says all of it: inc.add.u8.a64.
//
// Every loop head carries a symbol of that name, floor.<form>, and its end
// floor.<form>.end, so `objdump -d` shows each form's loop by name; the
// tests read them there.
//
// Built with BENCH_FLOOR_PROBE (the tests' probe build only), the table also
// holds deliberately broken forms that break the rule in one way each: the
// negative controls of the tests' checks (accumulators, memory traffic,
// machine code), each made to slip past all but one or two of them.
#pragma once

#include "floor_timed.hpp"

#include <array>
#include <cstdint>

#if !defined(__x86_64__)
#error "bench_floor's x86-64 forms are x86-64 assembly"
#endif

namespace bench_floor {

enum class Op : std::uint8_t {
    inc_rmw,
    inc_add,
    inc_lea,
    arith_lea,
    arith_lea_add,
    arith_imul_add,
    branch_rmw,
    branch_add,
    branch_lea,
    branch_test_rmw,
    branch_test_add,
    branch_test_split,
#ifdef BENCH_FLOOR_PROBE
    broken_two_stores,
    broken_one_load_fewer,
    broken_counter_in_memory,
    broken_short,
    broken_skips_a_load_late,
    broken_dead_load_outside,
    broken_pair_swapped,
    broken_arms_swapped,
    broken_tests_accumulator,
#endif
};

// The loop head: jump over the padding, align to 64 bytes, pad to the
// form's offset, and name the head (8:) and, after the loop, its end. The
// .ifeq picks the alignment's part of the name; %c[u] prints the unroll.
#define BF_NAME(name, suffix)                                                                      \
    ".ifeq %c[s]\n\"floor." name ".u%c[u].a64" suffix "\":\n.else\n\"floor." name                  \
    ".u%c[u].s64" suffix "\":\n.endif\n\t"
#define BF_ALIGN ".p2align 6\n.ifne %c[pad]\n\t.skip %c[pad], 0x90\n.endif\n"
#define BF_HEAD(name) "jmp 8f\n\t" BF_ALIGN "8:\n" BF_NAME(name, "")
#define BF_END(name) "\n" BF_NAME(name, ".end")

// The trip counter counts down by the unroll; the tested forms count their
// index up instead, since its low bit is what they test. Both operand lists
// name every constant a form may use (an asm may leave operands unused).
#define BF_COUNT_DOWN "sub %[u], %[n]\n\tjnz 8b"
#define BF_COUNT_UP "cmp %[n], %[i]\n\tjne 8b"
#define BF_CONSTANTS [u] "i"(U), [pairs] "i"(pairs), [pad] "i"(pad), [s] "i"(s)
#define BF_DOWN_OPERANDS : [x] "+m"(x), [n] "+r"(n) : BF_CONSTANTS
#define BF_UP_OPERANDS : [x] "+m"(x), [i] "+r"(i) : [n] "r"(n), BF_CONSTANTS

// Every form's loop, by its operation. The accumulator is an "+m" operand:
// whatever addressing the compiler gives the local (a stack slot, as in the
// benchmark's main). Only %rax/%rdx, the counters and the flags change.
// clang-format off
template <Op O, std::int64_t U, Align A>
[[gnu::always_inline]] inline void loop(std::uint64_t &x, std::int64_t n) {
    constexpr int pad = pad_of(A);
    constexpr int s = straddles(A);
    constexpr std::int64_t pairs = U / 2;
    std::int64_t i = 0;
    if constexpr (O == Op::inc_rmw) {
        asm volatile(BF_HEAD("inc.rmw")
                     ".rept %c[u]\n\t"
                     "addq $1, %[x]\n\t"
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("inc.rmw")
                     BF_DOWN_OPERANDS : "cc");
    } else if constexpr (O == Op::inc_add) {
        asm volatile(BF_HEAD("inc.add")
                     ".rept %c[u]\n\t"
                     "mov %[x], %%rax\n\t"
                     "add $1, %%rax\n\t"
                     "mov %%rax, %[x]\n\t"
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("inc.add")
                     BF_DOWN_OPERANDS : "rax", "cc");
    } else if constexpr (O == Op::inc_lea) {
        asm volatile(BF_HEAD("inc.lea")
                     ".rept %c[u]\n\t"
                     "mov %[x], %%rax\n\t"
                     "lea 1(%%rax), %%rax\n\t"
                     "mov %%rax, %[x]\n\t"
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("inc.lea")
                     BF_DOWN_OPERANDS : "rax", "cc");
    } else if constexpr (O == Op::arith_lea) {
        asm volatile(BF_HEAD("arith.lea")
                     ".rept %c[u]\n\t"
                     "mov %[x], %%rax\n\t"
                     "lea 7(%%rax,%%rax,2), %%rax\n\t"
                     "mov %%rax, %[x]\n\t"
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("arith.lea")
                     BF_DOWN_OPERANDS : "rax", "cc");
    } else if constexpr (O == Op::arith_lea_add) {
        asm volatile(BF_HEAD("arith.lea-add")
                     ".rept %c[u]\n\t"
                     "mov %[x], %%rax\n\t"
                     "lea (%%rax,%%rax,2), %%rax\n\t"
                     "add $7, %%rax\n\t"
                     "mov %%rax, %[x]\n\t"
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("arith.lea-add")
                     BF_DOWN_OPERANDS : "rax", "cc");
    } else if constexpr (O == Op::arith_imul_add) {
        asm volatile(BF_HEAD("arith.imul-add")
                     ".rept %c[u]\n\t"
                     "mov %[x], %%rax\n\t"
                     "imul $3, %%rax, %%rax\n\t"
                     "add $7, %%rax\n\t"
                     "mov %%rax, %[x]\n\t"
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("arith.imul-add")
                     BF_DOWN_OPERANDS : "rax", "cc");
    } else if constexpr (O == Op::branch_rmw) {
        asm volatile(BF_HEAD("branch.rmw")
                     ".rept %c[pairs]\n\t"
                     "addq $1, %[x]\n\t"
                     "subq $1, %[x]\n\t"
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("branch.rmw")
                     BF_DOWN_OPERANDS : "cc");
    } else if constexpr (O == Op::branch_add) {
        asm volatile(BF_HEAD("branch.add")
                     ".rept %c[pairs]\n\t"
                     "mov %[x], %%rax\n\t"
                     "add $1, %%rax\n\t"
                     "mov %%rax, %[x]\n\t"
                     "mov %[x], %%rax\n\t"
                     "sub $1, %%rax\n\t"
                     "mov %%rax, %[x]\n\t"
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("branch.add")
                     BF_DOWN_OPERANDS : "rax", "cc");
    } else if constexpr (O == Op::branch_lea) {
        asm volatile(BF_HEAD("branch.lea")
                     ".rept %c[pairs]\n\t"
                     "mov %[x], %%rax\n\t"
                     "lea 1(%%rax), %%rax\n\t"
                     "mov %%rax, %[x]\n\t"
                     "mov %[x], %%rax\n\t"
                     "lea -1(%%rax), %%rax\n\t"
                     "mov %%rax, %[x]\n\t"
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("branch.lea")
                     BF_DOWN_OPERANDS : "rax", "cc");
    } else if constexpr (O == Op::branch_test_rmw) {
        asm volatile(BF_HEAD("branch.test-rmw")
                     ".rept %c[u]\n\t"
                     "test $1, %b[i]\n\t"
                     "jnz 1f\n\t"
                     "addq $1, %[x]\n\t"
                     "jmp 2f\n"
                     "1:\n\t"
                     "subq $1, %[x]\n"
                     "2:\n\t"
                     "add $1, %[i]\n\t"
                     ".endr\n\t"
                     BF_COUNT_UP BF_END("branch.test-rmw")
                     BF_UP_OPERANDS : "cc");
    } else if constexpr (O == Op::branch_test_add) {
        asm volatile(BF_HEAD("branch.test-add")
                     ".rept %c[u]\n\t"
                     "mov %[x], %%rax\n\t"
                     "test $1, %b[i]\n\t"
                     "jnz 1f\n\t"
                     "add $1, %%rax\n\t"
                     "jmp 2f\n"
                     "1:\n\t"
                     "sub $1, %%rax\n"
                     "2:\n\t"
                     "mov %%rax, %[x]\n\t"
                     "add $1, %[i]\n\t"
                     ".endr\n\t"
                     BF_COUNT_UP BF_END("branch.test-add")
                     BF_UP_OPERANDS : "rax", "cc");
    } else if constexpr (O == Op::branch_test_split) {
        // Entered at 2: (load and test); the even arm (8:, the head) sits
        // before it and falls through into the next iteration's load, the
        // odd arm jumps back to it.
        static_assert(U == 1, "the split layout is one iteration per trip");
        asm volatile("jmp 2f\n\t"
                     BF_ALIGN "8:\n" BF_NAME("branch.test-split", "")
                     "add $1, %%rdx\n\t"
                     "add $1, %[i]\n\t"
                     "mov %%rdx, %[x]\n\t"
                     "cmp %[n], %[i]\n\t"
                     "je 3f\n"
                     "2:\n\t"
                     "mov %[x], %%rdx\n\t"
                     "test $1, %b[i]\n\t"
                     "je 8b\n\t"
                     "sub $1, %%rdx\n\t"
                     "add $1, %[i]\n\t"
                     "mov %%rdx, %[x]\n\t"
                     "cmp %[n], %[i]\n\t"
                     "jne 2b\n"
                     "3:" BF_END("branch.test-split")
                     BF_UP_OPERANDS : "rdx", "cc");
#ifdef BENCH_FLOOR_PROBE
    } else if constexpr (O == Op::broken_two_stores) {
        // Stores the same value twice: right result, one write too many.
        asm volatile(BF_HEAD("inc.broken-two-stores")
                     ".rept %c[u]\n\t"
                     "mov %[x], %%rax\n\t"
                     "add $1, %%rax\n\t"
                     "mov %%rax, %[x]\n\t"
                     "mov %%rax, %[x]\n\t"
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("inc.broken-two-stores")
                     BF_DOWN_OPERANDS : "rax", "cc");
    } else if constexpr (O == Op::broken_one_load_fewer) {
        // Every second iteration goes on from the register instead of
        // reading memory: right result, one read too few.
        asm volatile(BF_HEAD("inc.broken-one-load-fewer")
                     ".rept %c[pairs]\n\t"
                     "mov %[x], %%rax\n\t"
                     "add $1, %%rax\n\t"
                     "mov %%rax, %[x]\n\t"
                     "add $1, %%rax\n\t"
                     "mov %%rax, %[x]\n\t"
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("inc.broken-one-load-fewer")
                     BF_DOWN_OPERANDS : "rax", "cc");
    } else if constexpr (O == Op::broken_counter_in_memory) {
        // The trip counter lives in memory: right result, other traffic.
        std::int64_t counter = n;
        asm volatile(BF_HEAD("inc.broken-counter-in-memory")
                     ".rept %c[u]\n\t"
                     "addq $1, %[x]\n\t"
                     ".endr\n\t"
                     "subq %[u], %[c]\n\t"
                     "jnz 8b" BF_END("inc.broken-counter-in-memory")
                     : [x] "+m"(x), [c] "+m"(counter) : BF_CONSTANTS : "cc");
    } else if constexpr (O == Op::broken_short) {
        // One trip fewer than asked: the rule's traffic, the wrong result.
        // Entered at its count, so that a count of one trip makes none.
        asm volatile("jmp 7f\n\t"
                     BF_HEAD("inc.broken-short")
                     ".rept %c[u]\n\t"
                     "addq $1, %[x]\n\t"
                     ".endr\n"
                     "7:\n\t"
                     BF_COUNT_DOWN BF_END("inc.broken-short")
                     BF_DOWN_OPERANDS : "cc");
    } else if constexpr (O == Op::broken_skips_a_load_late) {
        // inc.add, but every 1024th iteration goes on from the register
        // instead of reading memory: right result, and a load too few only
        // from the 1024th iteration on, past the traffic test's counts. Its
        // extra instructions look like loop control (a sub on a register).
        asm volatile("mov $1024, %%edx\n\t"
                     BF_HEAD("inc.broken-skips-a-load-late")
                     "sub $1, %%rdx\n\t"
                     "jne 4f\n\t"
                     "sub $-1024, %%rdx\n\t"
                     "jmp 5f\n"
                     "4:\n\t"
                     "mov %[x], %%rax\n"
                     "5:\n\t"
                     "add $1, %%rax\n\t"
                     "mov %%rax, %[x]\n\t"
                     BF_COUNT_DOWN BF_END("inc.broken-skips-a-load-late")
                     BF_DOWN_OPERANDS : "rax", "rdx", "cc");
    } else if constexpr (O == Op::broken_dead_load_outside) {
        // inc.rmw, but every iteration leaves the named range for a load of
        // the word beside the accumulator whose value is never used:
        // valgrind drops such a dead load before its tool sees it, the
        // processor does not.
        asm volatile(BF_HEAD("inc.broken-dead-load-outside")
                     "addq $1, %[x]\n\t"
                     "jmp 9f\n"
                     "7:\n\t"
                     BF_COUNT_DOWN BF_END("inc.broken-dead-load-outside")
                     "jmp 6f\n"
                     "9:\n\t"
                     "mov 8+%[x], %%rcx\n\t"
                     "xor %%ecx, %%ecx\n\t"
                     "jmp 7b\n"
                     "6:\n"
                     BF_DOWN_OPERANDS : "rcx", "cc");
    } else if constexpr (O == Op::broken_pair_swapped) {
        // branch.rmw with each pair the wrong way round: -1 on an even
        // index, +1 on an odd one. After every trip x is 0 all the same.
        asm volatile(BF_HEAD("branch.broken-pair-swapped")
                     ".rept %c[pairs]\n\t"
                     "subq $1, %[x]\n\t"
                     "addq $1, %[x]\n\t"
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("branch.broken-pair-swapped")
                     BF_DOWN_OPERANDS : "cc");
    } else if constexpr (O == Op::broken_arms_swapped) {
        // branch.test-rmw with its arms swapped (jz for jnz): x is 0 after
        // any even count, -1 instead of 1 after an odd one.
        asm volatile(BF_HEAD("branch.broken-arms-swapped")
                     ".rept %c[u]\n\t"
                     "test $1, %b[i]\n\t"
                     "jz 1f\n\t"
                     "addq $1, %[x]\n\t"
                     "jmp 2f\n"
                     "1:\n\t"
                     "subq $1, %[x]\n"
                     "2:\n\t"
                     "add $1, %[i]\n\t"
                     ".endr\n\t"
                     BF_COUNT_UP BF_END("branch.broken-arms-swapped")
                     BF_UP_OPERANDS : "cc");
    } else if constexpr (O == Op::broken_tests_accumulator) {
        // branch.test-add testing the loaded accumulator's low bit instead
        // of the index's. From x = 0 the two always agree, so every value
        // is right; but the branch now waits for the load.
        asm volatile(BF_HEAD("branch.broken-tests-accumulator")
                     ".rept %c[u]\n\t"
                     "mov %[x], %%rax\n\t"
                     "test $1, %%al\n\t"
                     "jnz 1f\n\t"
                     "add $1, %%rax\n\t"
                     "jmp 2f\n"
                     "1:\n\t"
                     "sub $1, %%rax\n"
                     "2:\n\t"
                     "mov %%rax, %[x]\n\t"
                     "add $1, %[i]\n\t"
                     ".endr\n\t"
                     BF_COUNT_UP BF_END("branch.broken-tests-accumulator")
                     BF_UP_OPERANDS : "rax", "cc");
#endif
    }
    static_cast<void>(i);
}
// clang-format on

#undef BF_NAME
#undef BF_ALIGN
#undef BF_HEAD
#undef BF_END
#undef BF_COUNT_DOWN
#undef BF_COUNT_UP
#undef BF_CONSTANTS
#undef BF_DOWN_OPERANDS
#undef BF_UP_OPERANDS

// Iterations per trip. All divide 1e8, so no form needs a remainder loop;
// the folded pairs take the even factors, two iterations per pair.
#define BF_UNROLLS 1, 2, 4, 5, 8, 10, 16
#define BF_PAIRED_UNROLLS 2, 4, 8, 10, 16, 20, 32

// Every form, in a fixed order: by kernel, operation, unroll, alignment.
inline std::vector<Form> all_forms() {
    std::vector<Form> forms;
    add_family<Op::inc_rmw, BF_UNROLLS>(forms, "inc.rmw", Kernel::inc);
    add_family<Op::inc_add, BF_UNROLLS>(forms, "inc.add", Kernel::inc);
    add_family<Op::inc_lea, BF_UNROLLS>(forms, "inc.lea", Kernel::inc);
    add_family<Op::arith_lea, BF_UNROLLS>(forms, "arith.lea", Kernel::arith);
    add_family<Op::arith_lea_add, BF_UNROLLS>(forms, "arith.lea-add", Kernel::arith);
    add_family<Op::arith_imul_add, BF_UNROLLS>(forms, "arith.imul-add", Kernel::arith);
    add_family<Op::branch_rmw, BF_PAIRED_UNROLLS>(forms, "branch.rmw", Kernel::branch);
    add_family<Op::branch_add, BF_PAIRED_UNROLLS>(forms, "branch.add", Kernel::branch);
    add_family<Op::branch_lea, BF_PAIRED_UNROLLS>(forms, "branch.lea", Kernel::branch);
    add_family<Op::branch_test_rmw, BF_UNROLLS>(forms, "branch.test-rmw", Kernel::branch);
    add_family<Op::branch_test_add, BF_UNROLLS>(forms, "branch.test-add", Kernel::branch);
    add_family<Op::branch_test_split, 1>(forms, "branch.test-split", Kernel::branch);
#ifdef BENCH_FLOOR_PROBE
    add_broken_forms(forms);
#endif
    return forms;
}

#undef BF_UNROLLS
#undef BF_PAIRED_UNROLLS

// Each kernel's form when --form does not name one: ten iterations per trip,
// aligned; read-modify-write for the increment and branch kernels, load, lea,
// store for the arithmetic one.
constexpr std::array<const char *, KERNEL_COUNT> DEFAULT_FORMS = {
    "inc.rmw.u10.a64", "arith.lea.u10.a64", "branch.rmw.u20.a64"};
// --rolled: g++ -O2's loops, one iteration per trip.
constexpr std::array<const char *, KERNEL_COUNT> ROLLED_FORMS = {
    "inc.add.u1.a64", "arith.lea.u1.a64", "branch.test-split.u1.a64"};

// The cycle scale: a chain of dependent 64-bit register multiplications,
// 3 cycles each on every x86-64 core of the last decade (Intel since Sandy
// Bridge, AMD since Zen). CHAIN_STEP names one step in --search's JSON,
// CHAIN_WORDS in its table.
constexpr const char *CHAIN_STEP = "imul r64, r64";
constexpr const char *CHAIN_WORDS = "imul (3 cycles each)";
constexpr std::int64_t CHAIN_CYCLES_PER_STEP = 3;

template <std::int64_t STEPS> [[gnu::always_inline]] inline void chain(std::int64_t trips) {
    std::uint64_t value = 1;
    const std::uint64_t factor = 3;
    asm volatile("jmp 8f\n\t.p2align 6\n8:\n\t"
                 ".rept %c[steps]\n\timul %[f], %[v]\n\t.endr\n\t"
                 "sub $1, %[n]\n\tjnz 8b"
                 : [v] "+r"(value), [n] "+r"(trips)
                 : [f] "r"(factor), [steps] "i"(STEPS)
                 : "cc");
}

} // namespace bench_floor
