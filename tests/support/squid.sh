# Sourced by the run scripts of the tests that need a real web proxy.
#
# own_network "$0" "$@": runs the calling script again in a network namespace
# of its own (root only), with just the loopback interface up. There a host
# name the test invents resolves nowhere without a query leaving the machine,
# and the proxy's and servers' addresses are the test's alone. Wine's server
# must start inside as well: it makes the programs' sockets.
own_network() {
  [ -n "${ORAMET_OWN_NETWORK:-}" ] && return 0
  export ORAMET_OWN_NETWORK=1
  exec unshare -n -- bash -c 'ip link set lo up && exec bash "$@"' bash "$@"
}

# start_squid DIR ADDRESS PORT "IP NAME"...: Debian's squid in the
# foreground, listening on one loopback address, with a configuration of its
# own: no cache, loopback clients only, the given names resolved from a hosts
# file of its own. On PORT + 1 it asks for a password first (Basic, any name
# accepted). stop_squid ends it and leaves its files in DIR.
start_squid() {
  squid_keep=$1
  local address=$2 port=$3
  shift 3
  rm -rf "$squid_keep"
  # squid reads and writes its files as its own user, who may not reach into
  # the build tree (a clone under /root): they live in /tmp while it runs.
  squid_dir=$(mktemp -d /tmp/oramet-squid.XXXXXX) || return 1
  chmod 0777 "$squid_dir"
  printf '%s\n' "$@" >"$squid_dir/hosts"
  cat >"$squid_dir/squid.conf" <<CONF
http_port $address:$port
http_port $address:$((port + 1))
hosts_file $squid_dir/hosts
# Any other name is asked of a name server on loopback, where none answers.
dns_nameservers 127.0.0.1
acl loopback src 127.0.0.0/8
auth_param basic program /usr/lib/squid/basic_fake_auth
auth_param basic children 1
auth_param basic realm oramet
acl password_port localport $((port + 1))
acl logged_in proxy_auth REQUIRED
http_access deny password_port !logged_in
http_access allow loopback
http_access deny all
cache deny all
pid_filename $squid_dir/squid.pid
access_log stdio:$squid_dir/access.log
cache_log $squid_dir/cache.log
cache_store_log none
coredump_dir $squid_dir
netdb_filename none
pinger_enable off
icp_port 0
htcp_port 0
shutdown_lifetime 0 seconds
CONF
  # The service name keeps this squid's shared memory apart from another's.
  squid -N -n "oramet$$" -f "$squid_dir/squid.conf" 2>>"$squid_dir/stderr" &
  squid_pid=$!
  local _
  for _ in $(seq 1 100); do
    grep -qs 'Accepting HTTP Socket' "$squid_dir/cache.log" && return 0
    sleep 0.1
  done
  echo "squid did not start:"
  cat "$squid_dir/cache.log" "$squid_dir/stderr" 2>/dev/null
  return 1
}

stop_squid() {
  if [ -n "${squid_pid:-}" ]; then
    kill -TERM "$squid_pid" 2>/dev/null
    wait "$squid_pid" 2>/dev/null
    squid_pid=
  fi
  # Left behind when squid stops on a fatal error.
  rm -f /dev/shm/"oramet$$"-*
  if [ -n "${squid_dir:-}" ]; then
    cp -r "$squid_dir" "$squid_keep" 2>/dev/null
    rm -rf "$squid_dir"
    squid_dir=
  fi
}
