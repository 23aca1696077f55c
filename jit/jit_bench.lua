#!/usr/bin/env luajit
-- jit_bench.lua: the LuaJIT counterpart of bench_c_jit_compare. It times the
-- same three loops of 1e8 iterations, once each and cold by default, and
-- prints the same seven-line report under its own banner, so that
-- tools/compare.py can hold it against the C baseline.
--
--     luajit jit/jit_bench.lua [WARMUP]
--
-- WARMUP (default 0) runs each kernel that many times, untimed, before its
-- one timed run; the banner says so. Exit status 1, with a message on
-- stderr, on a bad argument, a clock that cannot be read, or when the report
-- cannot be written.
--
-- The rule every loop keeps, as the C program's volatile accumulator does:
-- one load and one store of the accumulator in memory per iteration. A Lua
-- number is a double (no 64-bit wrap-around) and a local lives in a
-- register, so the accumulator is an FFI uint64_t cell, whose arithmetic
-- wraps modulo 2^64. LuaJIT's trace compiler ignores `volatile`: with one
-- pointer, the store of one iteration is forwarded to the next iteration's
-- load and the value carried in a register (no load at all). So each kernel
-- reads through one pointer and writes through another, both passed in as
-- arguments: the compiler cannot tell whether they point at the same cell,
-- so it cannot forward the store and loads again after every store.
--
-- Branch: a trace follows one arm; the other leaves the loop by a guard
-- into a side trace, which stores the interpreter's view of the loop (the
-- index, as a double, in the frame, and the VM state) and re-enters the
-- loop's trace at its start. That is LuaJIT's code, not this program's; docs/jit.md
-- says what it costs.

local ffi = require("ffi")

ffi.cdef([[
struct bench_timespec { long tv_sec; long tv_nsec; };
int clock_gettime(int clock, struct bench_timespec *reading);
char *strerror(int error);
]])

local C = ffi.C
local PROGRAM = "jit_bench.lua"
local CLOCK_MONOTONIC = 1 -- Linux's number for it
local REAL_ITERATIONS = 100000000
local LARGEST = 2147483647
local TEST_VARIABLE = "BENCH_TEST_ITERATIONS"

local function fail(message)
  io.stderr:write(PROGRAM, ": ", message, "\n")
  os.exit(1)
end

-- Where the clock readings go, made once, outside every timed stretch.
local started = ffi.new("struct bench_timespec")
local stopped = ffi.new("struct bench_timespec")

-- The nanoseconds between the two readings, or the run ends if either
-- failed (a line without a real time behind it would be an invented number).
-- The readings' status is checked here, after the second one.
local function elapsed(first, second)
  if first ~= 0 or second ~= 0 then
    fail("cannot read the monotonic clock: " .. ffi.string(C.strerror(ffi.errno())))
  end
  local ns = (stopped.tv_sec - started.tv_sec) * 1000000000 + (stopped.tv_nsec - started.tv_nsec)
  return tonumber(ns)
end

-- Each kernel: reset the accumulator, read the clock, run the loop, read the
-- clock. Nothing else lies between the two readings: the kernel is called
-- directly, allocates nothing and prints nothing. The bound n is loop
-- invariant: the trace keeps it in a register, the same code at any count.
-- The caller reads the accumulator only after the second reading.

local function inc(src, dst, n)
  dst[0] = 0
  local first = C.clock_gettime(CLOCK_MONOTONIC, started)
  for _ = 0, n - 1 do
    dst[0] = src[0] + 1
  end
  local second = C.clock_gettime(CLOCK_MONOTONIC, stopped)
  return elapsed(first, second)
end

-- x * 3 + 7 on a uint64_t wraps modulo 2^64.
local function arith(src, dst, n)
  dst[0] = 0
  local first = C.clock_gettime(CLOCK_MONOTONIC, started)
  for _ = 0, n - 1 do
    dst[0] = src[0] * 3 + 7
  end
  local second = C.clock_gettime(CLOCK_MONOTONIC, stopped)
  return elapsed(first, second)
end

-- The test is on the index, never on x; both arms read x once and write it
-- once. (i % 2 is the index's parity for i >= 0; bit.band would add a check
-- of the function it calls to every re-entry of the loop's trace.)
local function branch(src, dst, n)
  dst[0] = 0
  local first = C.clock_gettime(CLOCK_MONOTONIC, started)
  for i = 0, n - 1 do
    if i % 2 == 0 then
      dst[0] = src[0] + 1
    else
      dst[0] = src[0] - 1
    end
  end
  local second = C.clock_gettime(CLOCK_MONOTONIC, stopped)
  return elapsed(first, second)
end

-- A count as the user wrote it: ASCII digits only, at most LARGEST.
local function count(text, what)
  if not (text:match("^[0-9]+$") and #text <= 10 and tonumber(text) <= LARGEST) then
    fail(string.format("%s must be a whole number from 0 to %d, not '%s'", what, LARGEST, text))
  end
  return tonumber(text)
end

-- Writes through the C library's buffer; a failed write or flush (a full
-- disk, a closed output) ends the run with status 1 rather than exit 0
-- with the report lost.
local function write(text)
  local ok, message = io.stdout:write(text)
  if not ok then
    fail("write error: " .. message)
  end
end

-- "%8.2f" of ns / 1e6 as a double, the quotient the C program prints, with
-- the C library's own formatting; x as its signed 64-bit reading.
local function line(label, ns, x)
  return string.format("%-13s%8.2f ms  (x=%d)\n", label, ns / 1000000, ffi.cast("int64_t", x))
end

local function main(args)
  if #args > 1 then
    fail("usage: luajit jit/jit_bench.lua [WARMUP]")
  end
  local warmup = #args == 1 and count(args[1], "the warm-up count") or 0
  local n, banner = REAL_ITERATIONS, "1e8 iterations"
  local test = os.getenv(TEST_VARIABLE)
  if test ~= nil then
    n = count(test, TEST_VARIABLE)
    banner = n .. " iterations, test count"
  end
  if warmup > 0 then
    banner = string.format("%s, %d untimed warm-up run%s per kernel", banner, warmup,
                           warmup == 1 and "" or "s")
  end
  write("=== LuaJIT (" .. banner .. ") ===\n\n")

  -- One cell, two pointers to it (see the top of this file), made once,
  -- outside every timed stretch. The machine code cannot show that the two
  -- pointers are one cell; this line tells tools/jit_loops.py:
  -- jit_loops: one cell, read through src and written through dst
  local cell = ffi.new("uint64_t[1]")
  local src = ffi.cast("uint64_t *", cell)
  local dst = ffi.cast("uint64_t *", cell)
  for _, kernel in ipairs({ { "Inc loop:", inc }, { "Arith loop:", arith },
                            { "Branch loop:", branch } }) do
    local label, run = kernel[1], kernel[2]
    for _ = 1, warmup do
      run(src, dst, n)
    end
    local ns = run(src, dst, n)
    write(line(label, ns, cell[0]))
  end
  write("\n=== Done ===\n")
  local ok, message = io.stdout:flush()
  if not ok then
    fail("write error: " .. message)
  end
end

main({ ... })
