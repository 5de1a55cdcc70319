-- wrk script of the benchmark: one fixed request, built once, and a
-- machine-readable summary line at the end.
--
-- Environment:
--   BENCH_PATH   request target: "/1k" for the origin itself, or the
--                absolute URL "http://127.0.0.1:PORT/1k" for the proxy
--                (wrk then sends the proxy form "GET http://... HTTP/1.1")
--   BENCH_HOST   value of the Host field (the origin's host:port)
--   BENCH_CLOSE  "1" adds "Connection: close": one connection per request
--   BENCH_AUTH   when set, the value of a Proxy-Authorization field

wrk.method = "GET"
wrk.path = os.getenv("BENCH_PATH") or "/"
wrk.headers["Host"] = os.getenv("BENCH_HOST") or wrk.host
if os.getenv("BENCH_AUTH") then
   wrk.headers["Proxy-Authorization"] = os.getenv("BENCH_AUTH")
end
if os.getenv("BENCH_CLOSE") == "1" then
   wrk.headers["Connection"] = "close"
end

-- No response() callback: with one, wrk hands every response head and body
-- to Lua, and the client would cost more than what it measures.  Statuses
-- of 400 and above are counted by wrk itself (errors.status).

function done(summary, latency, requests)
   local e = summary.errors
   io.write(string.format(
      "BENCH-RESULT {\"requests\": %d, \"duration_us\": %d, \"bytes\": %d, " ..
      "\"lat_mean_us\": %.1f, \"lat_p99_us\": %d, \"lat_max_us\": %d, " ..
      "\"err_connect\": %d, \"err_read\": %d, \"err_write\": %d, " ..
      "\"err_status\": %d, \"err_timeout\": %d}\n",
      summary.requests, summary.duration, summary.bytes,
      latency.mean, latency:percentile(99), latency.max,
      e.connect, e.read, e.write, e.status, e.timeout))
end
