#!/usr/bin/env bash
# Benchmark (not a test): oramet-timed against nginx serving a static body of
# the same size, both with one request per connection as the Oramet client
# does, plus oramet-timed's stamping error over loopback.
#
#   scripts/bench-server.sh [SECONDS] [CONNECTIONS]
#
# Load comes from server/tools/load.cpp (oramet-load), built here: an epoll
# loop keeping CONNECTIONS connections busy, each doing connect, one GET with
# "Connection: close", read until the server closes. Latency is connect to
# close. Everything runs on this machine, so the load generator takes CPU
# from the servers; the ratio is the figure to look at.
set -euo pipefail

seconds=${1:-10}
conns=${2:-50}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench-server
ip_timed=127.0.0.226
ip_nginx=127.0.0.227
port=18080
workers=$(nproc)

if ! command -v nginx >/dev/null; then
  # Only the benchmark needs nginx. Keep the stock service from starting on
  # install: it would take port 80.
  printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod +x /usr/sbin/policy-rc.d
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends nginx-light >/dev/null \
    || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends nginx >/dev/null
  rm -f /usr/sbin/policy-rc.d
fi

cmake -S "$root/server" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORAMET_TIMED_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target oramet-timed oramet-load >/dev/null

work=$(mktemp -d /tmp/oramet-bench.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# A static body of the same size as a time reply, readable by nginx's workers.
chmod 755 "$work"
mkdir -m 755 "$work/www"
date +%s000 | tr -d '\n' >"$work/www/t"
chmod 644 "$work/www/t"
cat >"$work/nginx.conf" <<CONF
worker_processes $workers;
daemon off;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 4096; }
http {
  access_log off;
  server_tokens off;
  etag off;
  server {
    listen $ip_nginx:$port reuseport backlog=1024;
    root $work/www;
    location / { }
  }
}
CONF

"$build/oramet-timed" --listen "$ip_timed:$port" --workers "$workers" --max-connections 4096 \
  2>"$work/timed.log" &
pids+=($!)
nginx -e "$work/nginx-error.log" -c "$work/nginx.conf" -p "$work" &
pids+=($!)

wait_up() {
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/$1/$port") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "bench: nothing listens on $1:$port" >&2
  exit 1
}
wait_up $ip_timed
wait_up $ip_nginx

load=$build/oramet-load
run() {  # name ip target
  "$load" rate "$2" $port "$3" "$conns" 1 >/dev/null  # warm-up
  echo "$1 $("$load" rate "$2" $port "$3" "$conns" "$seconds")"
}
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"; }

timed=$(run oramet-timed $ip_timed '/?v=2.07')
ngx=$(run nginx $ip_nginx /t)
stamp=$("$load" stamp $ip_timed $port '/?v=2.07' 2000)

echo
echo "one request per connection, $conns connections, ${seconds}s each, $workers server workers, $(nproc) cores"
printf '%-14s %10s %8s %8s %8s %8s %7s\n' server 'req/s' 'p50 ms' 'p90 ms' 'p99 ms' 'max ms' errors
for line in "$timed" "$ngx"; do
  awk -v name="${line%% *}" -v rps="$(field rps "$line")" -v p50="$(field p50_us "$line")" \
      -v p90="$(field p90_us "$line")" -v p99="$(field p99_us "$line")" -v mx="$(field max_us "$line")" \
      -v err="$(field errors "$line")" \
      'BEGIN { printf "%-14s %10d %8.2f %8.2f %8.2f %8.2f %7d\n", name, rps, p50/1000, p90/1000, p99/1000, mx/1000, err }'
done
awk -v a="$(field rps "$timed")" -v b="$(field rps "$ngx")" \
  'BEGIN { printf "ratio oramet-timed/nginx (req/s): %.2f\n", a/b }'
echo
echo "stamping error (returned time minus this machine's clock at the midpoint of the exchange):"
printf '  samples %s, median %s ms, p95 of |error| %s ms, max |error| %s ms, median round trip %s us\n' \
  "$(field samples " $stamp")" "$(field median_ms "$stamp")" "$(field p95_abs_ms "$stamp")" \
  "$(field max_abs_ms "$stamp")" "$(field median_rtt_us "$stamp")"
echo "  (the reply carries whole milliseconds, so up to 0.5 ms of this is rounding)"
