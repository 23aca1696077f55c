// The forms of bench_floor's kernels on AArch64: every way this file knows of
// writing each of the benchmark's three loops by hand in A64 assembly while
// keeping the benchmark's rule for them (floor_forms.hpp states it; the x86-64
// forms are there).
//
// AArch64 has no instruction that adds to memory short of the atomic ones
// (LSE's ldadd, stadd), which are a different operation with a cost of their
// own and not what any compiler emits for a volatile update; so every form
// loads, computes in a register and stores:
//
//   inc.add            ldr x9, [x11]; add x9, x9, #1; str x9, [x11]
//   inc.add-sched      the same, with the trip counter's subs right after the
//                      first load, where clang++ and g++ put it
//   arith.lsl-add      ldr; add x9, x9, x9, lsl #1; add x9, x9, #7; str
//   arith.lsl-add-sched  the same, scheduled as the compilers do
//   arith.madd         ldr; madd x9, x9, x14, x15; str (3 and 7 in registers)
//   arith.mul-add      ldr; mul x9, x9, x14; add x9, x9, #7; str
//   branch.add         folded pairs: ldr; add #1; str; ldr; sub #1; str. With
//                      an even unroll the index's parity at every position
//                      of the body is known, so the test disappears
//   branch.test-add    the parity test kept: ldr; tbnz on the index's low bit
//                      to a -1 arm, else +1 and a jump over it; str
//   branch.cneg        the parity test kept without a branch: tst on the
//                      index, cneg picks +1 or -1, ldr; add; str
//   branch.test-join   clang++ -O2's layout: entered at the load and test; the
//                      +1 arm jumps to the -1 arm's tail, which stores,
//                      counts, leaves when done and falls into the next load
//   branch.test-split  g++'s layout: one iteration per trip as -O2 emits it
//                      (entered at the load and test, each arm storing,
//                      counting and closing the loop), or eight as
//                      -funroll-loops does (two columns of the eight
//                      iterations, the +1 arms in one and the -1 arms in the
//                      other, each test branching across)
//
// Unrolls and alignments as on x86-64 (a64: the loop's first instruction at
// a 64-byte boundary; s64: 56 bytes past one, so that the loop straddles it).
// A core fetches its instructions in aligned blocks of 16 or 32 bytes out of
// 64-byte lines, and a compiler puts a loop at whatever 4-byte boundary comes
// (clang++ does not align them), so where a loop starts can cost a fetch per
// trip; s64 is the worst place of all for any of those block sizes.
//
// Every register is named in the assembly, never left to the compiler: the
// data x9 (x8 for cneg's step), the trip counter x10, the accumulator's
// address x11, the index x12 and its bound x13, the constants and g++'s
// index + 1 in x14 and x15. So each loop is the same machine code, byte for
// byte, whichever compiler builds it. That is also why the accumulator, the
// frame's local as on x86-64, is addressed through x11 and not as [sp, #imm]
// the way the compilers' own loops do: clang++ gives an "m" operand to the
// assembly as a register anyway, and the offset from sp is the compiler's
// choice. An AArch64 load or store of [x11] and of [sp, #imm] is the same
// operation with the same address.
//
// As on x86-64, each loop head carries the symbol floor.<form> and its end
// floor.<form>.end; the probe's broken forms are the negative controls.
#pragma once

#include "floor_timed.hpp"

#include <array>
#include <cstdint>

#if !defined(__aarch64__)
#error "bench_floor's AArch64 forms are A64 assembly"
#endif

namespace bench_floor {

enum class Op : std::uint8_t {
    inc_add,
    inc_add_sched,
    arith_lsl_add,
    arith_lsl_add_sched,
    arith_madd,
    arith_mul_add,
    branch_add,
    branch_test_add,
    branch_cneg,
    branch_test_join,
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

// The loop head: jump over the padding (to the head, 8:, or to where the
// form is entered), align to 64 bytes, pad to the form's offset (with
// zeros, never run), and name the head and, after the loop, its end.
#define BF_NAME(name, suffix)                                                                      \
    ".ifeq %c[s]\n\"floor." name ".u%c[u].a64" suffix "\":\n.else\n\"floor." name                  \
    ".u%c[u].s64" suffix "\":\n.endif\n\t"
#define BF_ALIGN ".p2align 6\n.ifne %c[pad]\n\t.skip %c[pad]\n.endif\n"
#define BF_ENTERED_AT(label, name) "b " label "\n\t" BF_ALIGN "8:\n" BF_NAME(name, "")
#define BF_HEAD(name) BF_ENTERED_AT("8f", name)
#define BF_END(name) "\n" BF_NAME(name, ".end")

// Before the loop: the counter (x10) or the index (x12, from 0) and its
// bound (x13), and the accumulator's address (x11).
#define BF_DOWN "mov x10, %[n]\n\tmov x11, %[p]\n\t"
#define BF_UP "mov x11, %[p]\n\tmov x12, #0\n\tmov x13, %[n]\n\t"
#define BF_COUNT_DOWN "subs x10, x10, #%c[u]\n\tb.ne 8b"
#define BF_COUNT_UP "cmp x12, x13\n\tb.ne 8b"
#define BF_LOAD "ldr x9, [x11]\n\t"
#define BF_STORE "str x9, [x11]\n\t"
#define BF_OPERANDS                                                                                \
    : [x] "+m"(x)                                                                                  \
    : [n] "r"(n), [p] "r"(&x), [u] "i"(U), [pairs] "i"(pairs), [pad] "i"(pad), [s] "i"(s)          \
    : "x8", "x9", "x10", "x11", "x12", "x13", "x14", "x15", "cc"

// g++ -funroll-loops's eight-iteration layout, position k from 2 on: in
// column A a load, a test of the index + 1 (x14) that branches to column
// B's +1 arm (3k), and the -1 arm (2k); in column B the mirror image. The
// index + 1 has the parity of position k + 1, so the test alternates
// between tbnz and tbz.
#define BF_SPLIT_A(k, test) BF_LOAD test " w14, #0, 3" #k "f\n2" #k ":\n\tsub x9, x9, #1\n\t"
#define BF_SPLIT_B(k, test) BF_LOAD test " w14, #0, 2" #k "b\n3" #k ":\n\tadd x9, x9, #1\n\t"

// clang-format off
template <Op O, std::int64_t U, Align A>
[[gnu::always_inline]] inline void loop(std::uint64_t &x, std::int64_t n) {
    constexpr int pad = pad_of(A);
    constexpr int s = straddles(A);
    constexpr std::int64_t pairs = U / 2;
    if constexpr (O == Op::inc_add) {
        asm volatile(BF_DOWN BF_HEAD("inc.add")
                     ".rept %c[u]\n\t"
                     BF_LOAD "add x9, x9, #1\n\t" BF_STORE
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("inc.add")
                     BF_OPERANDS);
    } else if constexpr (O == Op::inc_add_sched) {
        asm volatile(BF_DOWN BF_HEAD("inc.add-sched")
                     BF_LOAD "subs x10, x10, #%c[u]\n\tadd x9, x9, #1\n\t" BF_STORE
                     ".rept %c[u] - 1\n\t"
                     BF_LOAD "add x9, x9, #1\n\t" BF_STORE
                     ".endr\n\t"
                     "b.ne 8b" BF_END("inc.add-sched")
                     BF_OPERANDS);
    } else if constexpr (O == Op::arith_lsl_add) {
        asm volatile(BF_DOWN BF_HEAD("arith.lsl-add")
                     ".rept %c[u]\n\t"
                     BF_LOAD "add x9, x9, x9, lsl #1\n\tadd x9, x9, #7\n\t" BF_STORE
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("arith.lsl-add")
                     BF_OPERANDS);
    } else if constexpr (O == Op::arith_lsl_add_sched) {
        asm volatile(BF_DOWN BF_HEAD("arith.lsl-add-sched")
                     BF_LOAD "subs x10, x10, #%c[u]\n\t"
                     "add x9, x9, x9, lsl #1\n\tadd x9, x9, #7\n\t" BF_STORE
                     ".rept %c[u] - 1\n\t"
                     BF_LOAD "add x9, x9, x9, lsl #1\n\tadd x9, x9, #7\n\t" BF_STORE
                     ".endr\n\t"
                     "b.ne 8b" BF_END("arith.lsl-add-sched")
                     BF_OPERANDS);
    } else if constexpr (O == Op::arith_madd) {
        asm volatile(BF_DOWN "mov x14, #3\n\tmov x15, #7\n\t" BF_HEAD("arith.madd")
                     ".rept %c[u]\n\t"
                     BF_LOAD "madd x9, x9, x14, x15\n\t" BF_STORE
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("arith.madd")
                     BF_OPERANDS);
    } else if constexpr (O == Op::arith_mul_add) {
        asm volatile(BF_DOWN "mov x14, #3\n\t" BF_HEAD("arith.mul-add")
                     ".rept %c[u]\n\t"
                     BF_LOAD "mul x9, x9, x14\n\tadd x9, x9, #7\n\t" BF_STORE
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("arith.mul-add")
                     BF_OPERANDS);
    } else if constexpr (O == Op::branch_add) {
        asm volatile(BF_DOWN BF_HEAD("branch.add")
                     ".rept %c[pairs]\n\t"
                     BF_LOAD "add x9, x9, #1\n\t" BF_STORE
                     BF_LOAD "sub x9, x9, #1\n\t" BF_STORE
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("branch.add")
                     BF_OPERANDS);
    } else if constexpr (O == Op::branch_test_add) {
        asm volatile(BF_UP BF_HEAD("branch.test-add")
                     ".rept %c[u]\n\t"
                     BF_LOAD
                     "tbnz w12, #0, 1f\n\t"
                     "add x9, x9, #1\n\t"
                     "b 2f\n"
                     "1:\n\t"
                     "sub x9, x9, #1\n"
                     "2:\n\t"
                     BF_STORE
                     "add x12, x12, #1\n\t"
                     ".endr\n\t"
                     BF_COUNT_UP BF_END("branch.test-add")
                     BF_OPERANDS);
    } else if constexpr (O == Op::branch_cneg) {
        // The step, +1 on an even index and -1 on an odd one, is worked out
        // from the index alone, beside the accumulator's chain.
        asm volatile(BF_UP "mov x15, #1\n\t" BF_HEAD("branch.cneg")
                     ".rept %c[u]\n\t"
                     "tst x12, #1\n\t"
                     "cneg x8, x15, ne\n\t"
                     BF_LOAD "add x9, x9, x8\n\t" BF_STORE
                     "add x12, x12, #1\n\t"
                     ".endr\n\t"
                     BF_COUNT_UP BF_END("branch.cneg")
                     BF_OPERANDS);
    } else if constexpr (O == Op::branch_test_join) {
        // Entered at 6: (load and test). The -1 arm is the head; the +1 arm
        // jumps back to the tail after it (2:), which leaves when done and
        // otherwise falls into the next load.
        static_assert(U == 1, "clang++'s layout is one iteration per trip");
        asm volatile(BF_UP BF_ENTERED_AT("6f", "branch.test-join")
                     "sub x9, x9, #1\n"
                     "2:\n\t"
                     "add x12, x12, #1\n\t"
                     BF_STORE
                     "cmp x13, x12\n\t"
                     "b.eq 9f\n"
                     "6:\n\t"
                     BF_LOAD
                     "tbnz w12, #0, 8b\n\t"
                     "add x9, x9, #1\n\t"
                     "b 2b\n"
                     "9:" BF_END("branch.test-join")
                     BF_OPERANDS);
    } else if constexpr (O == Op::branch_test_split && U == 1) {
        // Entered at 6: (load and test); the +1 arm (8:, the head) sits
        // before it and falls through into the next iteration's load, the
        // -1 arm closes the loop at it.
        asm volatile(BF_UP BF_ENTERED_AT("6f", "branch.test-split")
                     "add x9, x9, #1\n\t"
                     "add x12, x12, #1\n\t"
                     BF_STORE
                     "cmp x12, x13\n\t"
                     "b.eq 9f\n"
                     "6:\n\t"
                     BF_LOAD
                     "tbz w12, #0, 8b\n\t"
                     "sub x9, x9, #1\n\t"
                     "add x12, x12, #1\n\t"
                     BF_STORE
                     "cmp x12, x13\n\t"
                     "b.ne 6b\n"
                     "9:" BF_END("branch.test-split")
                     BF_OPERANDS);
    } else if constexpr (O == Op::branch_test_split) {
        // Entered at column B's first position (6:), which loads and tests
        // the index (x12): even, to column A's +1 arm (8:, the head); odd,
        // its own -1 arm. Either way the next position's parity is then
        // known: A goes on to B's -1 iteration (41:), B to A's +1 one (40:).
        // From position 2 on each column tests x12 + 1 (x14). Column A ends
        // the trip by leaving when done and else falls into B's first
        // position; column B closes the loop at it.
        static_assert(U == 8, "g++'s unrolled layout is eight iterations per trip");
        asm volatile(BF_UP BF_ENTERED_AT("6f", "branch.test-split")
                     "add x9, x9, #1\n\t"
                     BF_STORE
                     "add x14, x12, #1\n\t"
                     "tbz w12, #0, 41f\n"
                     "40:\n\t"
                     BF_LOAD "add x9, x9, #1\n\t" BF_STORE
                     BF_SPLIT_A(2, "tbnz") BF_STORE
                     BF_SPLIT_A(3, "tbz") BF_STORE
                     BF_SPLIT_A(4, "tbnz") BF_STORE
                     BF_SPLIT_A(5, "tbz") BF_STORE
                     BF_SPLIT_A(6, "tbnz") BF_STORE
                     BF_SPLIT_A(7, "tbz")
                     "add x12, x14, #7\n\t"
                     BF_STORE
                     "cmp x12, x13\n\t"
                     "b.eq 9f\n"
                     "6:\n\t"
                     BF_LOAD
                     "tbz w12, #0, 8b\n\t"
                     "sub x9, x9, #1\n\t"
                     BF_STORE
                     "add x14, x12, #1\n\t"
                     "tbnz w12, #0, 40b\n"
                     "41:\n\t"
                     BF_LOAD "sub x9, x9, #1\n\t" BF_STORE
                     BF_SPLIT_B(2, "tbz") BF_STORE
                     BF_SPLIT_B(3, "tbnz") BF_STORE
                     BF_SPLIT_B(4, "tbz") BF_STORE
                     BF_SPLIT_B(5, "tbnz") BF_STORE
                     BF_SPLIT_B(6, "tbz") BF_STORE
                     BF_SPLIT_B(7, "tbnz")
                     "add x12, x14, #7\n\t"
                     BF_STORE
                     "cmp x12, x13\n\t"
                     "b.ne 6b\n"
                     "9:" BF_END("branch.test-split")
                     BF_OPERANDS);
#ifdef BENCH_FLOOR_PROBE
    } else if constexpr (O == Op::broken_two_stores) {
        // Stores the same value twice: right result, one write too many.
        asm volatile(BF_DOWN BF_HEAD("inc.broken-two-stores")
                     ".rept %c[u]\n\t"
                     BF_LOAD "add x9, x9, #1\n\t" BF_STORE BF_STORE
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("inc.broken-two-stores")
                     BF_OPERANDS);
    } else if constexpr (O == Op::broken_one_load_fewer) {
        // Every second iteration goes on from the register instead of
        // reading memory: right result, one read too few.
        asm volatile(BF_DOWN BF_HEAD("inc.broken-one-load-fewer")
                     ".rept %c[pairs]\n\t"
                     BF_LOAD "add x9, x9, #1\n\t" BF_STORE
                     "add x9, x9, #1\n\t" BF_STORE
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("inc.broken-one-load-fewer")
                     BF_OPERANDS);
    } else if constexpr (O == Op::broken_counter_in_memory) {
        // The trip counter lives in memory (its address in x15): right
        // result, other traffic.
        std::int64_t counter = n;
        asm volatile(BF_DOWN "mov x15, %[c]\n\t" BF_HEAD("inc.broken-counter-in-memory")
                     ".rept %c[u]\n\t"
                     BF_LOAD "add x9, x9, #1\n\t" BF_STORE
                     ".endr\n\t"
                     "ldr x10, [x15]\n\t"
                     "subs x10, x10, #%c[u]\n\t"
                     "str x10, [x15]\n\t"
                     "b.ne 8b" BF_END("inc.broken-counter-in-memory")
                     : [x] "+m"(x), "+m"(counter)
                     : [n] "r"(n), [p] "r"(&x), [c] "r"(&counter), [u] "i"(U), [pad] "i"(pad),
                       [s] "i"(s)
                     : "x9", "x10", "x11", "x15", "cc");
    } else if constexpr (O == Op::broken_short) {
        // One trip fewer than asked: the rule's traffic, the wrong result.
        // Entered at its count, so that a count of one trip makes none.
        asm volatile(BF_DOWN BF_ENTERED_AT("7f", "inc.broken-short")
                     ".rept %c[u]\n\t"
                     BF_LOAD "add x9, x9, #1\n\t" BF_STORE
                     ".endr\n"
                     "7:\n\t"
                     BF_COUNT_DOWN BF_END("inc.broken-short")
                     BF_OPERANDS);
    } else if constexpr (O == Op::broken_skips_a_load_late) {
        // inc.add, but every 1024th iteration goes on from the register
        // instead of reading memory: right result, and a load too few only
        // from the 1024th iteration on, past the traffic test's counts. Its
        // extra instructions look like loop control (a subs on a register).
        asm volatile(BF_DOWN "mov x15, #1024\n\t" BF_HEAD("inc.broken-skips-a-load-late")
                     "subs x15, x15, #1\n\t"
                     "b.ne 4f\n\t"
                     "mov x15, #1024\n\t"
                     "b 5f\n"
                     "4:\n\t"
                     BF_LOAD
                     "5:\n\t"
                     "add x9, x9, #1\n\t"
                     BF_STORE
                     BF_COUNT_DOWN BF_END("inc.broken-skips-a-load-late")
                     BF_OPERANDS);
    } else if constexpr (O == Op::broken_dead_load_outside) {
        // inc.add, but every iteration leaves the named range for a load of
        // the word beside the accumulator whose value is never used.
        asm volatile(BF_DOWN BF_HEAD("inc.broken-dead-load-outside")
                     BF_LOAD "add x9, x9, #1\n\t" BF_STORE
                     "b 5f\n"
                     "7:\n\t"
                     BF_COUNT_DOWN BF_END("inc.broken-dead-load-outside")
                     "b 6f\n"
                     "5:\n\t"
                     "ldr x8, [x11, #8]\n\t"
                     "b 7b\n"
                     "6:\n"
                     BF_OPERANDS);
    } else if constexpr (O == Op::broken_pair_swapped) {
        // branch.add with each pair the wrong way round: -1 on an even
        // index, +1 on an odd one. After every trip x is 0 all the same.
        asm volatile(BF_DOWN BF_HEAD("branch.broken-pair-swapped")
                     ".rept %c[pairs]\n\t"
                     BF_LOAD "sub x9, x9, #1\n\t" BF_STORE
                     BF_LOAD "add x9, x9, #1\n\t" BF_STORE
                     ".endr\n\t"
                     BF_COUNT_DOWN BF_END("branch.broken-pair-swapped")
                     BF_OPERANDS);
    } else if constexpr (O == Op::broken_arms_swapped) {
        // branch.test-add with its arms swapped (tbz for tbnz): x is 0 after
        // any even count, -1 instead of 1 after an odd one.
        asm volatile(BF_UP BF_HEAD("branch.broken-arms-swapped")
                     ".rept %c[u]\n\t"
                     BF_LOAD
                     "tbz w12, #0, 1f\n\t"
                     "add x9, x9, #1\n\t"
                     "b 2f\n"
                     "1:\n\t"
                     "sub x9, x9, #1\n"
                     "2:\n\t"
                     BF_STORE
                     "add x12, x12, #1\n\t"
                     ".endr\n\t"
                     BF_COUNT_UP BF_END("branch.broken-arms-swapped")
                     BF_OPERANDS);
    } else if constexpr (O == Op::broken_tests_accumulator) {
        // branch.test-add testing the loaded accumulator's low bit instead
        // of the index's. From x = 0 the two always agree, so every value
        // is right; but the branch now waits for the load.
        asm volatile(BF_UP BF_HEAD("branch.broken-tests-accumulator")
                     ".rept %c[u]\n\t"
                     BF_LOAD
                     "tbnz w9, #0, 1f\n\t"
                     "add x9, x9, #1\n\t"
                     "b 2f\n"
                     "1:\n\t"
                     "sub x9, x9, #1\n"
                     "2:\n\t"
                     BF_STORE
                     "add x12, x12, #1\n\t"
                     ".endr\n\t"
                     BF_COUNT_UP BF_END("branch.broken-tests-accumulator")
                     BF_OPERANDS);
#endif
    }
}
// clang-format on

#undef BF_NAME
#undef BF_ALIGN
#undef BF_ENTERED_AT
#undef BF_HEAD
#undef BF_END
#undef BF_DOWN
#undef BF_UP
#undef BF_COUNT_DOWN
#undef BF_COUNT_UP
#undef BF_LOAD
#undef BF_STORE
#undef BF_OPERANDS
#undef BF_SPLIT_A
#undef BF_SPLIT_B

// Iterations per trip, as on x86-64: all divide 1e8, so no form needs a
// remainder loop; the folded pairs take the even factors.
#define BF_UNROLLS 1, 2, 4, 5, 8, 10, 16
#define BF_PAIRED_UNROLLS 2, 4, 8, 10, 16, 20, 32

// Every form, in a fixed order: by kernel, operation, unroll, alignment.
inline std::vector<Form> all_forms() {
    std::vector<Form> forms;
    add_family<Op::inc_add, BF_UNROLLS>(forms, "inc.add", Kernel::inc);
    add_family<Op::inc_add_sched, BF_UNROLLS>(forms, "inc.add-sched", Kernel::inc);
    add_family<Op::arith_lsl_add, BF_UNROLLS>(forms, "arith.lsl-add", Kernel::arith);
    add_family<Op::arith_lsl_add_sched, BF_UNROLLS>(forms, "arith.lsl-add-sched", Kernel::arith);
    add_family<Op::arith_madd, BF_UNROLLS>(forms, "arith.madd", Kernel::arith);
    add_family<Op::arith_mul_add, BF_UNROLLS>(forms, "arith.mul-add", Kernel::arith);
    add_family<Op::branch_add, BF_PAIRED_UNROLLS>(forms, "branch.add", Kernel::branch);
    add_family<Op::branch_test_add, BF_UNROLLS>(forms, "branch.test-add", Kernel::branch);
    add_family<Op::branch_cneg, BF_UNROLLS>(forms, "branch.cneg", Kernel::branch);
    add_family<Op::branch_test_join, 1>(forms, "branch.test-join", Kernel::branch);
    add_family<Op::branch_test_split, 1, 8>(forms, "branch.test-split", Kernel::branch);
#ifdef BENCH_FLOOR_PROBE
    add_broken_forms(forms);
#endif
    return forms;
}

#undef BF_UNROLLS
#undef BF_PAIRED_UNROLLS

// Each kernel's form when --form does not name one: ten iterations per trip,
// aligned, load/op/store with the loop control after the last store.
constexpr std::array<const char *, KERNEL_COUNT> DEFAULT_FORMS = {
    "inc.add.u10.a64", "arith.lsl-add.u10.a64", "branch.add.u20.a64"};
// --rolled: the loops g++ -O2 emits, one iteration per trip (clang++ -O2's
// are the same but for the branch kernel's, branch.test-join.u1).
constexpr std::array<const char *, KERNEL_COUNT> ROLLED_FORMS = {
    "inc.add-sched.u1.a64", "arith.lsl-add-sched.u1.a64", "branch.test-split.u1.a64"};

// The cycle scale: a chain of dependent register adds, one cycle each in
// LLVM 14's model of every AArch64 core looked at (Cortex-A53, A55, A57, A72,
// A76, X1, Neoverse N1, N2, V1, Ampere1; its Apple M1 model says two). A
// multiply's latency differs from core to core in the same models (3 cycles
// on Cortex-A53, A55 and Ampere1, 5 on the others), so a multiply chain
// would give each core a scale of its own.
constexpr const char *CHAIN_STEP = "add Xd, Xd, Xm";
constexpr const char *CHAIN_WORDS = "add (1 cycle each)";
constexpr std::int64_t CHAIN_CYCLES_PER_STEP = 1;

template <std::int64_t STEPS> [[gnu::always_inline]] inline void chain(std::int64_t trips) {
    std::uint64_t value = 1;
    const std::uint64_t step = 3;
    asm volatile("b 8f\n\t.p2align 6\n8:\n\t"
                 ".rept %c[steps]\n\tadd %[v], %[v], %[f]\n\t.endr\n\t"
                 "subs %[n], %[n], #1\n\tb.ne 8b"
                 : [v] "+r"(value), [n] "+r"(trips)
                 : [f] "r"(step), [steps] "i"(STEPS)
                 : "cc");
}

} // namespace bench_floor
