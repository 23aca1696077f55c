// JitBench: the Java counterpart of bench_c_jit_compare, for HotSpot. It
// times the same three loops of 1e8 iterations, once each and cold by
// default, and prints the same seven-line report under its own banner, so
// that tools/compare.py can hold it against the C baseline.
//
//     java -cp build/jit JitBench [WARMUP]
//
// WARMUP (default 0) runs each kernel that many times, untimed, before its
// one timed run; the banner says so. Exit status 1, with a message on
// stderr, on a bad argument or when the report cannot be written.
//
// The rule every loop keeps, as the C program's volatile accumulator does:
// one load and one store of the accumulator in memory per iteration, no
// fence. A plain long field is kept in a register by the JIT (the loop then
// measures nothing), and a volatile field adds a locked fence to every
// iteration; VarHandle opaque access is neither: each getOpaque is one
// load and each setOpaque one store, in program order, with no barrier
// instruction. tools/jit_loops.py shows what HotSpot actually made of it.

import java.lang.invoke.MethodHandles;
import java.lang.invoke.VarHandle;
import java.math.BigDecimal;
import java.util.Locale;

public final class JitBench {
    private static final String PROGRAM = "JitBench";

    // The loop bound. A static final is a constant to the JIT, compiled
    // into the loop's compare exactly as a literal is. The environment
    // variable exists for the test suite only, which checks the kernels'
    // arithmetic at small counts; a real run never sets it.
    static final int ITERATIONS = iterations();

    // The accumulator: a field of this object, reached only through X.
    private long x;

    private static final VarHandle X;

    static {
        try {
            X = MethodHandles.lookup().findVarHandle(JitBench.class, "x", long.class);
        } catch (ReflectiveOperationException e) {
            throw new ExceptionInInitializerError(e);
        }
    }

    private static int iterations() {
        String text = System.getenv("BENCH_TEST_ITERATIONS");
        return text == null ? 100_000_000 : count(text, "BENCH_TEST_ITERATIONS");
    }

    // A count as the user wrote it: ASCII digits only (parseInt would also
    // take a sign and other scripts' digits), at most Integer.MAX_VALUE.
    private static int count(String text, String what) {
        if (text.matches("[0-9]{1,10}") && Long.parseLong(text) <= Integer.MAX_VALUE) {
            return Integer.parseInt(text);
        }
        System.err.println(PROGRAM + ": " + what + " must be a whole number from 0 to "
                + Integer.MAX_VALUE + ", not '" + text + "'");
        System.exit(1);
        return 0;
    }

    // Each kernel: reset the accumulator, read the clock, run the loop, read
    // the clock. Nothing else lies between the two clock readings: the
    // kernel is called directly (no interface, no lambda), allocates
    // nothing and prints nothing. It returns the elapsed nanoseconds; the
    // caller reads the accumulator only after the second reading. The index
    // is an int: HotSpot compiles an int-indexed loop as a counted loop,
    // while a long index leaves the cold, on-stack-replaced code with a
    // safepoint poll in every iteration.

    static long inc(JitBench a) {
        X.setOpaque(a, 0L);
        final long start = System.nanoTime();
        for (int i = 0; i < ITERATIONS; i++) {
            X.setOpaque(a, (long) X.getOpaque(a) + 1);
        }
        final long end = System.nanoTime();
        return end - start;
    }

    // x * 3 + 7 wraps modulo 2^64, as Java's long arithmetic always does.
    static long arith(JitBench a) {
        X.setOpaque(a, 0L);
        final long start = System.nanoTime();
        for (int i = 0; i < ITERATIONS; i++) {
            X.setOpaque(a, (long) X.getOpaque(a) * 3 + 7);
        }
        final long end = System.nanoTime();
        return end - start;
    }

    // The test is on the index, never on x; both arms read x once and write
    // it once.
    static long branch(JitBench a) {
        X.setOpaque(a, 0L);
        final long start = System.nanoTime();
        for (int i = 0; i < ITERATIONS; i++) {
            if ((i & 1) == 0) {
                X.setOpaque(a, (long) X.getOpaque(a) + 1);
            } else {
                X.setOpaque(a, (long) X.getOpaque(a) - 1);
            }
        }
        final long end = System.nanoTime();
        return end - start;
    }

    // "%8.2f" of the exact value of ns / 1e6 as a double, the quotient the
    // C program prints. Java's %f on a double rounds its shortest decimal
    // form (1.005 would print as 1.01); on the BigDecimal of the double it
    // rounds the exact binary value, as C does (exact ties, which only
    // multiples of 1/8 ms can be, go up here and to even in C).
    private static String line(String label, long ns, long x) {
        BigDecimal ms = new BigDecimal((double) ns / 1_000_000.0);
        return String.format(Locale.ROOT, "%-13s%8.2f ms  (x=%d)", label, ms, x);
    }

    public static void main(String[] args) {
        if (args.length > 1) {
            System.err.println("usage: java -cp build/jit " + PROGRAM + " [WARMUP]");
            System.exit(1);
        }
        final int warmup = args.length == 1 ? count(args[0], "the warm-up count") : 0;
        String banner = ITERATIONS == 100_000_000 ? "1e8 iterations"
                : ITERATIONS + " iterations, test count";
        if (warmup > 0) {
            banner += ", " + warmup + " untimed warm-up run" + (warmup == 1 ? "" : "s")
                    + " per kernel";
        }
        System.out.print("=== Java JIT (" + banner + ") ===\n\n");

        JitBench a = new JitBench();
        for (int k = 0; k < warmup; k++) {
            inc(a);
        }
        long ns = inc(a);
        System.out.print(line("Inc loop:", ns, (long) X.getOpaque(a)) + "\n");
        for (int k = 0; k < warmup; k++) {
            arith(a);
        }
        ns = arith(a);
        System.out.print(line("Arith loop:", ns, (long) X.getOpaque(a)) + "\n");
        for (int k = 0; k < warmup; k++) {
            branch(a);
        }
        ns = branch(a);
        System.out.print(line("Branch loop:", ns, (long) X.getOpaque(a)) + "\n");
        System.out.print("\n=== Done ===\n");

        // PrintStream keeps write errors to itself: ask it, and fail rather
        // than exit 0 with the report lost.
        System.out.flush();
        if (System.out.checkError()) {
            System.err.println(PROGRAM + ": write error: the report could not be written");
            System.exit(1);
        }
    }
}
