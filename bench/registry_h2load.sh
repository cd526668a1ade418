#!/usr/bin/env bash
# The registry over HTTP/2 under h2load, against nghttpd serving the same
# health document as a static file on another loopback port, same settings.
# Prints req/s per round, the medians of 3 rounds and the ratios registry/nghttpd.
# Env: MURLO_BUILD (build directory), REQUESTS (per run, default 1500000), ROUNDS (3).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${MURLO_BUILD:-$PWD/build}
DRIVER=$BUILD/registry/test/registry-driver
REQUESTS=${REQUESTS:-1500000}
ROUNDS=${ROUNDS:-3}
H2LOAD=(h2load -c 64 -m 10 -t 4 -n "$REQUESTS")

for tool in h2load nghttpd curl; do
  command -v "$tool" >/dev/null || { echo "registry_h2load: $tool is missing (nghttp2-client, nghttp2-server, curl)" >&2; exit 1; }
done
[[ -x $DRIVER ]] || { echo "registry_h2load: $DRIVER is not built" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The registry: its first line on standard output is the bound address.
mkfifo "$work/announce"
"$DRIVER" 127.0.0.1:0 60000 >"$work/announce" &
pids+=($!)
read -r -t 10 address <"$work/announce"
registry=http://$address

# nghttpd on a free port, serving the health document as a file.
mkdir "$work/www"
printf '%s' '{"status":"ok","version":"0.17.0","protocol":2}' >"$work/www/health"
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
nghttpd --no-tls -n 4 -a 127.0.0.1 -d "$work/www" "$port" >/dev/null 2>&1 &
pids+=($!)
static=http://127.0.0.1:$port
for _ in $(seq 100); do
  curl -sf --http2-prior-knowledge "$static/health" >/dev/null && break
  sleep 0.05
done

# A fixed lease refresh: join once, then the same beat only renews the lease.
printf '%s' '{"pool":"bench","slot":null,"id":1,"incarnation":1,"policy":"rr","size":null,"url":null,"state":{},"ready":true,"leaving":false,"exclusive":false,"methods":[],"watch":[],"seen":{},"hold_ms":0}' >"$work/beat.json"
curl -sf --http2-prior-knowledge -H 'content-type: application/json' --data-binary "@$work/beat.json" \
  "$registry/v1/beat" | grep -q '"accepted":true'

rate() { # h2load args... -> req/s, after checking every request succeeded
  local out
  out=$("${H2LOAD[@]}" "$@")
  local ok
  ok=$(awk '/^status codes:/ {print $3}' <<<"$out")
  [[ $ok == "$REQUESTS" ]] || { echo "registry_h2load: only $ok of $REQUESTS answered 2xx for $*" >&2; echo "$out" >&2; exit 1; }
  awk '/^finished in/ {print $4}' <<<"$out"
}

median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

health_reg=() health_ngx=() beat_reg=() health_ratio=() beat_ratio=()
for round in $(seq "$ROUNDS"); do
  health_ngx+=("$(rate "$static/health")")
  health_reg+=("$(rate "$registry/health")")
  beat_reg+=("$(rate -d "$work/beat.json" -H 'content-type: application/json' "$registry/v1/beat")")
  health_ratio+=("$(awk -v a="${health_reg[-1]}" -v b="${health_ngx[-1]}" 'BEGIN {print a / b}')")
  beat_ratio+=("$(awk -v a="${beat_reg[-1]}" -v b="${health_ngx[-1]}" 'BEGIN {print a / b}')")
  printf 'round %d: nghttpd GET /health %s req/s, registry GET /health %s req/s, registry POST /v1/beat %s req/s\n' \
    "$round" "${health_ngx[-1]}" "${health_reg[-1]}" "${beat_reg[-1]}"
done

ngx=$(median "${health_ngx[@]}")
reg=$(median "${health_reg[@]}")
bt=$(median "${beat_reg[@]}")
hr=$(median "${health_ratio[@]}")
br=$(median "${beat_ratio[@]}")
awk -v ngx="$ngx" -v reg="$reg" -v bt="$bt" -v hr="$hr" -v br="$br" -v n="$ROUNDS" 'BEGIN {
  printf "registry_h2load (h2load -c 64 -m 10 -t 4, median of %d rounds)\n", n
  printf "  nghttpd  GET  /health   %12.0f req/s\n", ngx
  printf "  registry GET  /health   %12.0f req/s   %.2fx nghttpd (goal 1.0x; median of per-round ratios %.2fx)\n", reg, reg / ngx, hr
  printf "  registry POST /v1/beat  %12.0f req/s   %.2fx nghttpd (goal 0.6x; median of per-round ratios %.2fx)\n", bt, bt / ngx, br
}'
