#!/usr/bin/env node
// jit_bench.js: the JavaScript counterpart of bench_c_jit_compare, for node
// (V8). It times the same three loops of 1e8 iterations, once each and cold
// by default, and prints the same seven-line report under its own banner, so
// that tools/compare.py can hold it against the C baseline.
//
//     node jit/jit_bench.js [WARMUP]
//
// WARMUP (default 0) runs each kernel that many times, untimed, before its
// one timed run; the banner says so. Exit status 1, with a message on
// stderr, on a bad argument or when the report cannot be written.
//
// The rule every loop keeps, as the C program's volatile accumulator does:
// one load and one store of the accumulator in memory per iteration. A
// plain local would live in a register, and a number is a double, which
// cannot hold 64-bit wrap-around; so the accumulator is the one element of
// a BigUint64Array, and every update is BigInt.asUintN(64, ...) of it,
// which V8's optimising compiler turns into plain 64-bit integer
// instructions on the element, without allocating a BigInt. (A BigInt kept
// in an object property would allocate a new one every iteration.) The loop
// bound is a literal: a module-level constant would be reloaded from its
// context and checked every iteration. tools/jit_loops.py shows what V8
// actually made of it.
'use strict';

const fs = require('fs');

const PROGRAM = 'jit_bench.js';

// Each kernel: reset the accumulator, read the clock, run the loop, read
// the clock. Nothing else lies between the two clock readings: the kernel
// is called directly, allocates nothing and prints nothing. It returns the
// elapsed nanoseconds (a BigInt); the caller reads the accumulator only
// after the second reading.

function inc(acc) {
  acc[0] = 0n;
  const start = process.hrtime.bigint();
  for (let i = 0; i < 100000000; i++) {
    acc[0] = BigInt.asUintN(64, acc[0] + 1n);
  }
  const end = process.hrtime.bigint();
  return end - start;
}

function arith(acc) {
  acc[0] = 0n;
  const start = process.hrtime.bigint();
  for (let i = 0; i < 100000000; i++) {
    acc[0] = BigInt.asUintN(64, acc[0] * 3n + 7n);
  }
  const end = process.hrtime.bigint();
  return end - start;
}

// The test is on the index, never on x; both arms read x once and write it
// once.
function branch(acc) {
  acc[0] = 0n;
  const start = process.hrtime.bigint();
  for (let i = 0; i < 100000000; i++) {
    if ((i & 1) === 0) {
      acc[0] = BigInt.asUintN(64, acc[0] + 1n);
    } else {
      acc[0] = BigInt.asUintN(64, acc[0] - 1n);
    }
  }
  const end = process.hrtime.bigint();
  return end - start;
}

const REAL_ITERATIONS = 100000000;
const TEST_VARIABLE = 'BENCH_TEST_ITERATIONS';

// For the test suite only: the same kernels with another literal bound,
// compiled from their own source text, so that the code checked at a small
// count is the code that is timed. A real run never sets the variable.
function withBound(kernel, bound) {
  const source = kernel.toString();
  const literal = String(REAL_ITERATIONS);
  if (source.split(literal).length !== 2) {
    throw new Error(`${kernel.name}: expected the bound ${literal} exactly once`);
  }
  // eslint-disable-next-line no-new-func
  return new Function('process', `'use strict'; return ${source.replace(literal, String(bound))};`)(process);
}

function fail(message) {
  process.stderr.write(`${PROGRAM}: ${message}\n`);
  process.exit(1);
}

function count(text, what) {
  if (!/^[0-9]{1,10}$/.test(text) || Number(text) > 2147483647) {
    fail(`${what} must be a whole number from 0 to 2147483647, not '${text}'`);
  }
  return Number(text);
}

// Writes synchronously, all of it or an error: the report is the product,
// so a write that fails (a full disk, a closed pipe) ends the run with
// status 1 instead of a silent exit 0.
function write(text) {
  const bytes = Buffer.from(text, 'utf8');
  let done = 0;
  while (done < bytes.length) {
    try {
      done += fs.writeSync(1, bytes, done, bytes.length - done);
    } catch (error) {
      if (error.code === 'EAGAIN') {
        continue; // a non-blocking standard output that is full for now
      }
      fail(`write error: ${error.message}`);
    }
  }
}

// "%8.2f" of ns / 1e6 as a double, the quotient the C program prints.
// toFixed rounds the exact binary value, as C does (exact ties, which only
// multiples of 1/8 ms can be, go up here and to even in C).
function line(label, ns, x) {
  const ms = Number(ns) / 1000000;
  return `${label.padEnd(13)}${ms.toFixed(2).padStart(8)} ms  (x=${BigInt.asIntN(64, x)})\n`;
}

function main(args) {
  if (args.length > 1) {
    fail('usage: node jit/jit_bench.js [WARMUP]');
  }
  const warmup = args.length === 1 ? count(args[0], 'the warm-up count') : 0;
  let kernels = [['Inc loop:', inc], ['Arith loop:', arith], ['Branch loop:', branch]];
  let banner = '1e8 iterations';
  const test = process.env[TEST_VARIABLE];
  if (test !== undefined) {
    const bound = count(test, TEST_VARIABLE);
    kernels = kernels.map(([label, kernel]) => [label, withBound(kernel, bound)]);
    banner = `${bound} iterations, test count`;
  }
  if (warmup > 0) {
    banner += `, ${warmup} untimed warm-up run${warmup === 1 ? '' : 's'} per kernel`;
  }
  write(`=== JavaScript JIT (${banner}) ===\n\n`);

  // Made once, outside every timed stretch.
  const acc = new BigUint64Array(1);
  for (const [label, kernel] of kernels) {
    for (let k = 0; k < warmup; k++) {
      kernel(acc);
    }
    const ns = kernel(acc);
    write(line(label, ns, acc[0]));
  }
  write('\n=== Done ===\n');
}

main(process.argv.slice(2));
