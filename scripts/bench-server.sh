#!/usr/bin/env bash
# Benchmark (not a test): oramet-timed against nginx answering the same
# 13-byte body from memory, one request per connection as the Oramet client
# makes them, plainly, while one address floods the server, and over TLS 1.3
# with the same certificate; then oramet-timed's stamping error over loopback.
#
#   scripts/bench-server.sh [RUNS] [SECONDS] [CONNECTIONS] [FLOOD]
#
# Defaults: 5 runs of 5 s per server and phase, 50 measured connections, a
# flood of 1100 connections; about four minutes in all. Run it as root in a
# network namespace of its own, e.g.
#   unshare --net bash -c 'ip link set lo up && scripts/bench-server.sh'
# Only loopback addresses are used: the servers on 127.0.0.226 and .227 (TLS
# on port 18443), the flood from 127.0.0.228, the measured clients from
# 127.0.1.1-127.0.1.64.
#
# Both servers get the same number of workers (one per core) and the same
# connection budget, both have the kernel hold a connection until its
# request arrives (nginx's "deferred", as oramet-timed does by itself), keep-
# alive is off on both sides, nginx's access log is off, and oramet-timed
# runs with its shipped config (abuse limit on). Runs
# alternate between the servers, the order swapping each round, so that the
# machine's other load falls on both alike. The load comes from
# server/tools/load.cpp (oramet-load) with two threads; it runs on the same
# cores as the servers, so compare the servers with each other rather than
# with other machines.
set -euo pipefail

runs=${1:-5}
seconds=${2:-5}
conns=${3:-50}
flood=${4:-1100}
bounded() { [[ $2 =~ ^[0-9]+$ ]] && [ "$2" -ge "$3" ] && [ "$2" -le "$4" ] || {
  echo "bench: $1 must be $3 to $4" >&2; exit 2; }; }
bounded RUNS "$runs" 1 20
bounded SECONDS "$seconds" 1 30
bounded CONNECTIONS "$conns" 1 500
bounded FLOOD "$flood" 1 4000

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench-server
ip_timed=127.0.0.226
ip_nginx=127.0.0.227
ip_flood=127.0.0.228
port=18080
tls_port=18443
target='/?v=2.07'
workers=$(nproc)
settle=2   # seconds the flood runs before the measurement starts

if ! command -v nginx >/dev/null; then
  # Only the benchmark needs nginx. Keep the stock service from starting on
  # install (it would take port 80), and leave a policy-rc.d that was there.
  policy=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod +x /usr/sbin/policy-rc.d
    policy=/usr/sbin/policy-rc.d
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends nginx-light >/dev/null \
    || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends nginx >/dev/null \
    || true
  [ -z "$policy" ] || rm -f "$policy"
  command -v nginx >/dev/null \
    || { echo "bench: could not install nginx (no network in this namespace? install it first)" >&2; exit 1; }
fi

cmake -S "$root/server" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORAMET_TIMED_TESTS=OFF >/dev/null
nice cmake --build "$build" -j2 --target oramet-timed oramet-load >/dev/null
load=$build/oramet-load

ulimit -n "$(ulimit -Hn)"  # the flood and the connection budget need more than 1024

work=$(mktemp -d /tmp/oramet-bench.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# oramet-timed as shipped, but told not to depend on this machine's clock
# being synchronised (a benchmark host often is not; the check itself costs
# one adjtimex() a second at most).
sed '/^require-synced-clock *=/d' "$root/server/oramet-timed.conf.example" >"$work/timed.conf"
# One certificate for both servers' TLS, as an ACME client would issue it.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/key.pem" \
  -out "$work/cert.pem" -days 2 -subj "/CN=$ip_timed" -addext "subjectAltName=IP:$ip_timed,IP:$ip_nginx" 2>/dev/null
chmod 644 "$work/key.pem"  # nginx's workers run as nobody
if "$build/oramet-timed" --help 2>&1 | grep -q -- --require-synced-clock; then
  echo 'require-synced-clock = off' >>"$work/timed.conf"
fi
budget=$(sed -n 's/^max-connections *= *\([0-9]*\).*/\1/p' "$work/timed.conf")
budget=${budget:-1024}

chmod 755 "$work"
cat >"$work/nginx.conf" <<CONF
worker_processes $workers;
worker_rlimit_nofile $((budget + 64));
daemon off;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections $(( (budget + workers - 1) / workers )); }
http {
  access_log off;
  server_tokens off;
  keepalive_timeout 0;
  default_type text/plain;
  server {
    listen $ip_nginx:$port reuseport backlog=1024 deferred;
    location / { return 200 "1733550000123"; }
  }
  server {
    listen $ip_nginx:$tls_port ssl reuseport backlog=1024;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    ssl_protocols TLSv1.2 TLSv1.3;
    location / { return 200 "1733550000123"; }
  }
}
CONF

"$build/oramet-timed" --config "$work/timed.conf" --listen "$ip_timed:$port" --workers "$workers" \
  --tls-listen "$ip_timed:$tls_port" --tls-certificate "$work/cert.pem" --tls-key "$work/key.pem" \
  2>"$work/timed.log" &
pids+=($!)
timed_pid=$!
nginx -e "$work/nginx-error.log" -c "$work/nginx.conf" -p "$work" &
pids+=($!)
nginx_pid=$!

# One request; prints the body.
ask() {
  exec 3<>"/dev/tcp/$1/$port"
  printf 'GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n' "$target" "$1" >&3
  timeout 5 cat <&3 | tr -d '\r' | sed '1,/^$/d'
  exec 3<&-
}
for ip in $ip_timed $ip_nginx; do
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/$ip/$port") 2>/dev/null; then break; fi
    sleep 0.1
  done
  body=$(ask $ip || true)
  if ! [[ $body =~ ^[0-9]{13}$ ]]; then
    echo "bench: $ip:$port does not answer a time (got '$body')" >&2
    cat "$work/timed.log" "$work/nginx-error.log" >&2 2>/dev/null || true
    exit 1
  fi
done

ip_of() { if [ "$1" = oramet-timed ]; then echo $ip_timed; else echo $ip_nginx; fi; }
measure() {  # server seconds [phase] -> one key=value line
  if [ "${3:-}" = tls ]; then
    timeout $(( $2 + 30 )) "$load" tls-rate "$(ip_of "$1")" $tls_port "$target" "$conns" "$2"
  else
    timeout $(( $2 + 30 )) "$load" rate "$(ip_of "$1")" $port "$target" "$conns" "$2" 2
  fi
}
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"; }

measure oramet-timed 1 >/dev/null  # warm-up
measure nginx 1 >/dev/null
for server in oramet-timed nginx; do
  line=$(measure $server 1 tls) || true
  [ -n "$(field rps "$line")" ] && [ "$(field errors "$line")" = 0 ] || {
    echo "bench: $server does not answer over TLS ($line)" >&2; cat "$work/timed.log" "$work/nginx-error.log" >&2; exit 1; }
done

# CPU time (user and system, in clock ticks) the server's processes have used
# so far: oramet-timed's one process, nginx's master and workers.
server_ticks() {
  local p t=0 f
  if [ "$1" = oramet-timed ]; then p=$timed_pid; else p="$nginx_pid $(pgrep -P "$nginx_pid" | tr '\n' ' ')"; fi
  for pid in $p; do
    f=$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null) || continue
    set -- $f
    t=$(( t + ${12} + ${13} ))
  done
  echo $t
}
tick_us=$(( 1000000 / $(getconf CLK_TCK) ))

results=$work/results  # phase server round rps p50_us p99_us errors cpu_us_per_request [flood_held flood_cut]
: >"$results"
start=$(date +%s)
for phase in plain flood tls; do
  for round in $(seq "$runs"); do
    if (( round % 2 )); then order="oramet-timed nginx"; else order="nginx oramet-timed"; fi
    for server in $order; do
      extra=""
      if [ $phase = flood ]; then
        timeout $(( settle + seconds + 40 )) "$load" flood "$(ip_of $server)" $port "$target" "$flood" \
          $(( settle + seconds + 1 )) $ip_flood >"$work/flood.out" &
        flood_pid=$!
        sleep $settle
      fi
      ticks=$(server_ticks $server)
      line=$(measure $server "$seconds" $phase) || true
      ticks=$(( $(server_ticks $server) - ticks ))
      if [ $phase = flood ]; then
        wait $flood_pid || true
        f=$(cat "$work/flood.out")
        extra=" $(field held_avg "$f") $(field cut "$f")"
      fi
      if [ -z "$(field rps "$line")" ]; then
        echo "  $phase $server round $round: no result, left out" >&2
        continue
      fi
      echo "$phase $server $round $(field rps "$line") $(field p50_us "$line") $(field p99_us "$line")" \
           "$(field errors "$line") $(awk -v t=$ticks -v u=$tick_us -v n="$(field requests "$line")" \
             'BEGIN { printf "%.1f", (n > 0 ? t * u / n : 0) }')$extra" >>"$results"
      printf '  %-5s %-12s round %d: %s cpu_us_per_request=%s%s\n' $phase $server "$round" "$line" \
        "$(tail -1 "$results" | cut -d' ' -f8)" \
        "${extra:+ flood: held $(echo $extra | cut -d' ' -f1), cut $(echo $extra | cut -d' ' -f2)}" >&2
    done
  done
done
stamp=$(timeout 60 "$load" stamp $ip_timed $port "$target" 2000)

echo
echo "one request per connection, $conns connections from 64 addresses, $runs alternating runs of" \
     "${seconds}s per server, $workers workers each, $(nproc) cores, load average at start" \
     "$(cut -d' ' -f1 /proc/loadavg), $(( $(date +%s) - start ))s of runs"
echo "flood: $flood connections held from $ip_flood (half idle, half one byte a second," \
     "each reopened a second after the server cuts it), from ${settle}s before each run to its end"
echo "tls: TLS 1.3, a full handshake on every connection (ECDSA P-256 certificate, no resumption)," \
     "$conns blocking client threads"
echo
awk -v runs="$runs" '
  function median(a, n,   i, j, t) {
    for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  function stat(key, col, scale, fmt,   a, n, i, lo, hi) {
    n = 0
    for (i = 1; i <= rows; i++) if (k[i] == key && v[i, col] != "") { a[++n] = v[i, col] / scale }
    if (n == 0) { med[key, col] = "n/a"; return "n/a" }
    lo = hi = a[1]
    for (i = 2; i <= n; i++) { if (a[i] < lo) lo = a[i]; if (a[i] > hi) hi = a[i] }
    med[key, col] = median(a, n)
    if (fmt == "") fmt = scale == 1 ? "%d (%d–%d)" : "%.2f (%.2f–%.2f)"
    return sprintf(fmt, med[key, col], lo, hi)
  }
  function ratios(phase, col,   r, n, i, a, lo, hi, t, g) {
    n = 0
    for (r = 1; r <= runs; r++) {
      t = v2[phase, "oramet-timed", r, col]; g = v2[phase, "nginx", r, col]
      if (t != "" && g > 0) a[++n] = t / g
    }
    if (n == 0 || med[phase " nginx", col] == 0) return "n/a"
    lo = hi = a[1]
    for (i = 2; i <= n; i++) { if (a[i] < lo) lo = a[i]; if (a[i] > hi) hi = a[i] }
    return sprintf("%.2f (rounds %.2f–%.2f)", med[phase " oramet-timed", col] / med[phase " nginx", col], lo, hi)
  }
  {
    rows++; k[rows] = $1 " " $2
    for (c = 4; c <= NF; c++) { v[rows, c] = $c; v2[$1, $2, $3, c] = $c }
    err[$1 " " $2] += $7
  }
  END {
    print "| load | server | req/s | p50 ms | p99 ms | server CPU µs/request | errors |"
    print "|---|---|---|---|---|---|---|"
    split("plain flood tls", phases, " "); label["plain"] = "plain"; label["flood"] = "one-address flood"
    label["tls"] = "TLS 1.3"
    for (p = 1; p <= 3; p++)
      for (s = 1; s <= 2; s++) {
        server = s == 1 ? "oramet-timed" : "nginx"; key = phases[p] " " server
        printf "| %s | %s | %s | %s | %s | %s | %d |\n", label[phases[p]],
          server, stat(key, 4, 1), stat(key, 5, 1000), stat(key, 6, 1000), stat(key, 8, 1, "%.1f (%.1f–%.1f)"),
          err[key]
      }
    print ""
    print "Medians over the runs, (min–max) across them."
    for (p = 1; p <= 3; p++)
      printf "%s: oramet-timed/nginx, ratio of medians: req/s %s, p99 %s, server CPU per request %s\n",
        phases[p], ratios(phases[p], 4), ratios(phases[p], 6), ratios(phases[p], 8)
    t = med["flood oramet-timed", 6]; u = med["plain oramet-timed", 6]
    if (t != "n/a" && u > 0)
      printf "oramet-timed p99 under flood / plain: %.2f (%s)\n", t / u, t / u <= 2 ? "within 2x" : "NOT within 2x"
    for (s = 1; s <= 2; s++) {
      server = s == 1 ? "oramet-timed" : "nginx"; key = "flood " server
      printf "flood against %s: held %s connections on average, cut %s in a run\n", server,
        stat(key, 9, 1), stat(key, 10, 1)
    }
  }' "$results"
echo
echo "stamping error (returned time minus this machine's clock at the midpoint of the exchange):"
printf '  samples %s, median %s ms, p95 of |error| %s ms, max |error| %s ms, median round trip %s us\n' \
  "$(field samples " $stamp")" "$(field median_ms "$stamp")" "$(field p95_abs_ms "$stamp")" \
  "$(field max_abs_ms "$stamp")" "$(field median_rtt_us "$stamp")"
echo "  (the reply carries whole milliseconds, so up to 0.5 ms of this is rounding)"
