# Sourced by the run scripts of the HTTPS tests.
#
# make_certificates DIR: a test root (root.pem, root.der) and, in DIR, leaf
# certificates with their keys, each leaf.pem with the chain after it:
#   good.pem     from the root, for 127.0.12.1, .6, .21, .22 and secure.proxied.test
#   stranger.pem for 127.0.12.2, from a root no store holds
#   misnamed.pem from the root, for elsewhere.test (served on 127.0.12.3)
#   expired.pem  from the root, for 127.0.12.5, valid only in January 2020
# A loopback address is named twice: Wine matches it only against a DNS
# name, Windows against the IP entry.
make_certificates() {
  local dir=$1
  rm -rf "$dir" && mkdir -p "$dir" || return 1
  (
    cd "$dir" || exit 1
    set -e
    root() {  # root NAME
      openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 3650 \
        -subj "/CN=Oramet test $1" -addext basicConstraints=critical,CA:TRUE \
        -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
      mkdir -p "$1.ca" && : >"$1.ca/index.txt" && echo 1000 >"$1.ca/serial"
      cat >"$1.ca/ca.cnf" <<CNF
[ca]
default_ca = own
[own]
database = $PWD/$1.ca/index.txt
new_certs_dir = $PWD/$1.ca
serial = $PWD/$1.ca/serial
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
[leaf]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = \${ENV::SAN}
CNF
    }
    leaf() {  # leaf NAME ROOT SAN [DATES...]
      local name=$1 issuer=$2
      export SAN=$3
      shift 3
      openssl req -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" \
        -subj "/CN=$name" 2>/dev/null
      openssl ca -batch -config "$issuer.ca/ca.cnf" -extensions leaf -cert "$issuer.pem" \
        -keyfile "$issuer.key" -in "$name.csr" -out "$name.crt" -notext "$@" 2>/dev/null
      cat "$name.crt" "$issuer.pem" >"$name.pem"
    }
    root root
    root stranger-root
    openssl x509 -in root.pem -outform DER -out root.der
    leaf good root "DNS:127.0.12.1,IP:127.0.12.1,DNS:127.0.12.6,IP:127.0.12.6,DNS:127.0.12.21,IP:127.0.12.21,DNS:127.0.12.22,IP:127.0.12.22,DNS:secure.proxied.test" -days 30
    leaf stranger stranger-root "DNS:127.0.12.2,IP:127.0.12.2" -days 30
    leaf misnamed root "DNS:elsewhere.test" -days 30
    leaf expired root "DNS:127.0.12.5,IP:127.0.12.5" -startdate 20200101000000Z \
      -enddate 20200201000000Z
  )
}

# start_https_server DIR LISTENER...: tests/support/https_server.py in the
# background until stop_https_server.
start_https_server() {
  local dir=$1
  shift
  rm -f "$dir/ready"
  python3 "$(dirname "${BASH_SOURCE[0]}")/https_server.py" "$dir/ready" "$@" \
    2>>"$dir/https-server.log" &
  https_pid=$!
  local _
  for _ in $(seq 1 100); do
    [ -s "$dir/ready" ] && return 0
    sleep 0.1
  done
  echo "the HTTPS test server did not start:"
  cat "$dir/https-server.log"
  return 1
}

stop_https_server() {
  [ -n "${https_pid:-}" ] && kill "$https_pid" 2>/dev/null && wait "$https_pid" 2>/dev/null
  https_pid=
}
