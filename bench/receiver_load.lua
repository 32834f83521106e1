-- wrk script for bench/receiver_load.sh: posts distinct form bodies, each exactly once, and
-- waits for every answer. The bodies are files listed one a line in BODY_LIST; thread n of
-- THREADS posts lines n, n+THREADS, ... Once a thread's share is sent, a connection that comes
-- free asks for FILLER (a GET the server answers cheaply, not counted) until the last post is
-- answered; then the thread stops. CLOSE=1 adds "Connection: close": a new TLS connection per
-- request. A thread that is done writes DONE_DIR/<id>; the script then stops wrk with SIGINT
-- (wrk itself would wait for -d). The rate counts from a thread's first post to its last
-- answer. done() prints one JSON line.

local ffi = require("ffi")
ffi.cdef [[
  typedef struct { long tv_sec; long tv_nsec; } gravelin_timespec;
  int clock_gettime(int clock, gravelin_timespec* time);
]]
local function now()
  local t = ffi.new("gravelin_timespec")
  ffi.C.clock_gettime(1, t)  -- CLOCK_MONOTONIC
  return tonumber(t.tv_sec) + tonumber(t.tv_nsec) / 1e9
end

local threads = {}
local counter = 0

function setup(thread)
  thread:set("id", counter)
  counter = counter + 1
  table.insert(threads, thread)
end

function init(args)
  local step = tonumber(os.getenv("THREADS"))
  bodies = {}
  local n = 0
  for path in io.lines(os.getenv("BODY_LIST")) do
    if n % step == id then
      local f = io.open(path, "rb")
      bodies[#bodies + 1] = f:read("*a")
      f:close()
    end
    n = n + 1
  end
  sent, ok, other, fillers = 0, 0, 0, 0
  first_post, last_answer = 0, 0
  local headers = {["Content-Type"] = "application/x-www-form-urlencoded"}
  local filler_headers = {}
  if os.getenv("CLOSE") == "1" then
    headers["Connection"] = "close"
    filler_headers["Connection"] = "close"
  end
  post_headers = headers
  filler = wrk.format("GET", os.getenv("FILLER"), filler_headers, nil)
end

function request()
  -- wrk asks each thread for one request it never sends (before its first connection):
  -- give it a filler, not a body.
  if not primed then
    primed = true
    return filler
  end
  if sent >= #bodies then
    return filler
  end
  if sent == 0 then first_post = now() end
  sent = sent + 1
  return wrk.format("POST", "/kestal/scantest.php", post_headers, bodies[sent])
end

function response(status, headers, body)
  if status == 204 or headers["Content-Type"] == "image/jpeg" then
    fillers = fillers + 1
  elseif status == 200 then
    ok = ok + 1
  else
    other = other + 1
  end
  if ok + other == #bodies and not finished then
    last_answer = now()
    finished = true
    local f = io.open(os.getenv("DONE_DIR") .. "/" .. id, "w")
    f:close()
    wrk.thread:stop()  -- no more fillers from this thread
  end
end

function done(summary, latency, requests)
  local total_ok, total_other, total_fillers = 0, 0, 0
  local started, ended = math.huge, 0
  for _, t in ipairs(threads) do
    started = math.min(started, t:get("first_post"))
    ended = math.max(ended, t:get("last_answer"))
    total_ok = total_ok + t:get("ok")
    total_other = total_other + t:get("other")
    total_fillers = total_fillers + t:get("fillers")
  end
  local e = summary.errors
  io.write(string.format(
    '{"posts_ok":%d,"posts_other":%d,"fillers":%d,"seconds":%.3f,"connect_errors":%d,' ..
    '"read_errors":%d,"write_errors":%d,"timeouts":%d,"p50_ms":%.2f,"p99_ms":%.2f}\n',
    total_ok, total_other, total_fillers, ended - started, e.connect, e.read, e.write,
    e.timeout, latency:percentile(50) / 1000, latency:percentile(99) / 1000))
end
