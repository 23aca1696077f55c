#!/usr/bin/env node
// wasm_bench.js: runs bench_c_jit_compare built for wasm32-wasi under node's
// WASI (preview1), so that V8 compiles the benchmark's own C++ source: the
// same loops, ahead of time against just in time.
//
//     node jit/wasm_bench.js FILE                 V8's default: Liftoff runs the loops
//     node --no-liftoff jit/wasm_bench.js FILE    TurboFan runs them
//
// FILE is the module CMake builds (build/bench_c_jit_compare.wasm). The
// report, banner included, is the program's own. The program gets no
// arguments, an empty environment and no folder (it reads no file); its
// standard streams are node's. Everything before its _start runs (reading,
// compiling and instantiating the module) lies outside every timed stretch:
// the program reads the clock itself, around each loop.
//
// Exit status: the program's own (0, or 1 when its report cannot be
// written). 1, with one line on stderr, when the runner cannot run FILE
// (a bad argument, no such file, not a wasm module, no _start, an import
// WASI does not provide) or the program traps; as the other counterparts,
// a usage error is status 1.
'use strict';

const fs = require('fs');
const path = require('path');

const PROGRAM = 'wasm_bench.js';

function fail(message) {
  fs.writeSync(2, `${PROGRAM}: ${message}\n`);
  process.exit(1);
}

// Loading node:wasi emits a warning that WASI is experimental, printed on
// stderr after the program has run. That line is not the program's and would
// read as a fault of it, so only that warning, emitted while the module
// loads, is dropped; every other warning still shows.
function requireWasi() {
  const emitWarning = process.emitWarning;
  process.emitWarning = function (warning, ...rest) {
    const type = typeof rest[0] === 'string' ? rest[0] : rest[0] && rest[0].type;
    if (type === 'ExperimentalWarning' && /^WASI\b/.test(String(warning))) {
      return;
    }
    emitWarning.call(process, warning, ...rest);
  };
  try {
    return require('node:wasi').WASI;
  } finally {
    process.emitWarning = emitWarning;
  }
}

// The module's compiled code, or a failure naming FILE. Compiled
// synchronously here, before the program starts; whether V8 compiles it
// with Liftoff or TurboFan is node's command line (--no-liftoff).
function load(file) {
  let bytes;
  try {
    bytes = fs.readFileSync(file);
  } catch (error) {
    const reasons = { ENOENT: 'no such file', EISDIR: 'a folder', EACCES: 'permission denied' };
    fail(`cannot read ${file}: ${reasons[error.code] || error.message}`);
  }
  let module;
  try {
    module = new WebAssembly.Module(bytes);
  } catch (error) {
    fail(`${file} is not a WebAssembly module: ${error.message}`);
  }
  const exports = WebAssembly.Module.exports(module);
  const has = (name, kind) => exports.some((e) => e.name === name && e.kind === kind);
  if (!has('_start', 'function')) {
    fail(`${file} exports no _start function: not a WASI command`);
  }
  if (!has('memory', 'memory')) {
    fail(`${file} exports no memory: not a WASI command`);
  }
  return module;
}

function main(args) {
  if (args.length !== 1) {
    fail('usage: node [--no-liftoff] jit/wasm_bench.js FILE.wasm');
  }
  if (args[0].startsWith('-')) {
    // Most likely a node option written after the script, where node
    // passes it on instead of using it.
    fail(`${args[0]}: an option; node's options go before the script`);
  }
  const file = args[0];
  const WASI = requireWasi();
  const module = load(file);
  // argv[0] is the program's name, as a shell would pass it; no arguments.
  const wasi = new WASI({
    version: 'preview1',
    args: [path.basename(file, '.wasm')],
    env: {},
    preopens: {},
    returnOnExit: true,
  });
  let instance;
  try {
    instance = new WebAssembly.Instance(module, wasi.getImportObject());
  } catch (error) {
    fail(`cannot instantiate ${file}: ${error.message}`);
  }
  let status;
  try {
    status = wasi.start(instance);
  } catch (error) {
    // A trap (unreachable, an out-of-bounds access, a stack overflow) ends
    // the program as a crash would: its report is not to be trusted.
    fail(`${file}: the program stopped: ${error.message}`);
  }
  process.exitCode = status;
}

main(process.argv.slice(2));
