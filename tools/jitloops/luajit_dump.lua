-- luajit_dump.lua: runs a Lua program (the LuaJIT counterpart) under LuaJIT
-- and writes the machine code of every trace it compiles, with addresses,
-- and every later change to that code (a guard of a trace patched to jump
-- to a side trace), in the order LuaJIT made them. The JIT listing
-- (tools/jitloops/) reads the file; nothing else in LuaJIT's own dump
-- module (-jdump) is needed, nor its disassembler.
--
--     luajit tools/jitloops/luajit_dump.lua OUTPUT PROGRAM [ARGUMENT ...]
--
-- The output, one record per line (addresses and bytes in hex):
--
--   luajit-trace-dump 1                     the format, first line
--   runtime <jit.version> <jit.arch>
--   program <path>                          the program run
--   declare <words>                         each `-- jit_loops: <words>` line
--                        of the program: what it tells the listing about
--                        itself ("one cell ...": its accumulator is read
--                        through one pointer and written through another)
--   start <trace> <parent> <exit> <source>:<line> <function>
--                        parent and exit 0 - for a root trace; <function>
--                        is the name the source gives the function ("?")
--   code <trace> <address> <size> <loop offset or -> <link> <link type>
--   bytes <address> <hex>                   the code, 32 bytes a line
--   exit <trace> <exit> <stub address>      where each guard's exit goes
--   patch <address> <hex>                   code changed since last seen
--   abort <trace> <source>:<line> <reason>
--   flush                                   every trace thrown away
--   end <status>                            the program returned (0)
--
-- A trace's record is written when LuaJIT has finished it ("stop"); by then
-- the parent of a side trace has been patched, and the patch follows the
-- side trace's record. The code of every trace is compared with what was
-- last written at every event and at the end, so no change goes unseen
-- that happened before the program ended.
local jit = require("jit")
local util = require("jit.util")
local vmdef = require("jit.vmdef")

local output, program = arg[1], arg[2]
if not output or not program then
  io.stderr:write("usage: luajit luajit_dump.lua OUTPUT PROGRAM [ARGUMENT ...]\n")
  os.exit(2)
end
local out, problem = io.open(output, "w")
if not out then
  io.stderr:write("luajit_dump.lua: ", problem, "\n")
  os.exit(2)
end

local function record(...)
  out:write(table.concat({ ... }, " "), "\n")
end

local function hex(text)
  return (text:gsub(".", function(c) return string.format("%02x", c:byte()) end))
end

-- The name a function has in its source: "local function inc(" gives inc.
local sources = {}
local function function_name(info)
  local file = info.source and info.source:match("^@(.*)$")
  if not file or not info.linedefined then
    return "?"
  end
  if sources[file] == nil then
    local lines, handle = {}, io.open(file, "r")
    if handle then
      for line in handle:lines() do
        lines[#lines + 1] = line
      end
      handle:close()
    end
    sources[file] = lines
  end
  local text = sources[file][info.linedefined] or ""
  return text:match("function%s+([%w_.:]+)%s*%(") or "?"
end

local function place(func, pc)
  local info = util.funcinfo(func, pc)
  return (info.loc or "?"), function_name(info)
end

-- The code of each live trace as last written: trace -> {address, bytes}.
local seen = {}

local function write_bytes(address, code)
  for offset = 0, #code - 1, 32 do
    record("bytes", string.format("%x", address + offset), hex(code:sub(offset + 1, offset + 32)))
  end
end

-- Every run of changed bytes in every trace already written.
local function write_patches()
  local order = {}
  for trace in pairs(seen) do
    order[#order + 1] = trace
  end
  table.sort(order)
  for _, trace in ipairs(order) do
    local old = seen[trace]
    local code, address = util.tracemc(trace)
    if code and address == old.address and #code == #old.code and code ~= old.code then
      local at = 1
      while at <= #code do
        if code:byte(at) ~= old.code:byte(at) then
          local last = at
          while last < #code and code:byte(last + 1) ~= old.code:byte(last + 1) do
            last = last + 1
          end
          record("patch", string.format("%x", address + at - 1), hex(code:sub(at, last)))
          at = last + 1
        else
          at = at + 1
        end
      end
      old.code = code
    end
  end
end

local function write_trace(trace)
  local info = util.traceinfo(trace)
  local code, address, loop = util.tracemc(trace)
  if not info or not code then
    return
  end
  record("code", trace, string.format("%x", address), #code,
         loop and loop ~= 0 and string.format("%x", loop) or "-", info.link, info.linktype)
  write_bytes(address, code)
  for exit = 0, info.nexit - 1 do
    local stub = util.traceexitstub(exit)
    if stub then
      record("exit", trace, exit, string.format("%x", stub))
    end
  end
  seen[trace] = { address = address, code = code }
end

local function on_trace(what, trace, func, pc, parent, exit)
  if what ~= "stop" then
    write_patches()
  end
  if what == "start" then
    local where, name = place(func, pc)
    record("start", trace, parent or 0, parent and exit or "-", where, name)
  elseif what == "stop" then
    write_trace(trace)
    write_patches()
  elseif what == "abort" then
    -- parent and exit are here the error's number and its detail.
    local where = place(func, pc)
    local detail = type(exit) == "function" and place(exit) or exit
    local ok, reason = pcall(string.format, vmdef.traceerr[parent] or "error %s", detail)
    record("abort", trace, where, ((ok and reason or tostring(parent)):gsub("%s+", " ")))
  elseif what == "flush" then
    record("flush")
    seen = {}
  end
  out:flush()
end

record("luajit-trace-dump", 1)
record("runtime", (jit.version:gsub("%s+", "-")), jit.arch)
record("program", program)
local source = io.open(program, "r")
if source then
  for line in source:lines() do
    local words = line:match("^%s*%-%-%s*jit_loops:%s*(.-)%s*$")
    if words then
      record("declare", words)
    end
  end
  source:close()
end
jit.attach(on_trace, "trace")

local chunk, failure = loadfile(program)
if not chunk then
  io.stderr:write("luajit_dump.lua: ", failure, "\n")
  os.exit(2)
end
-- The program sees the `arg` it sees under plain luajit: its own name at 0,
-- its arguments from 1, the interpreter and its options below 0; and the
-- same arguments as `...`.
local loader_arg, program_arg = arg, {}
for k, v in pairs(loader_arg) do
  if k < 0 then
    program_arg[k] = v
  elseif k >= 2 then
    program_arg[k - 2] = v
  end
end
arg = program_arg
chunk(unpack(program_arg, 1, #loader_arg - 2))
jit.attach(on_trace)
write_patches()
record("end", 0)
out:close()
