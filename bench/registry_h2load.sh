#!/usr/bin/env bash
# The registry over HTTP against known-fast servers serving the same 48-byte
# health document as a static file, all in one run and under the same load:
#   h2c      (h2load -c 64 -t 4 -m 10)   registry vs h2o and nghttpd
#   HTTP/1.1 (h2load --h1 -c 64 -t 4)    registry vs nginx and h2o
# Each figure is the median of ROUNDS timed runs (req/s). The registry's
# health is set against the best anchor of its protocol; its lease refresh
# against nghttpd's health over h2c (the same HTTP/2 library) and the best of
# nginx and h2o over HTTP/1.1. Every server gets one worker per core (the
# registry's own default, which cannot be set).
#
# Usage: registry_h2load.sh [--json]   (--json: one JSON object on standard
# output, the human report on standard error)
# Env: MURLO_BUILD (build directory), ROUNDS (3), DURATION (per timed run, 4),
#      WARMUP (before each timed run, 1); both h2load durations: seconds, or e.g. 500ms.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${MURLO_BUILD:-$PWD/build}
DRIVER=$BUILD/registry/test/registry-driver
ROUNDS=${ROUNDS:-3}
DURATION=${DURATION:-4}
WARMUP=${WARMUP:-1}
WORKERS=$(nproc)
JSON=0
[[ ${1:-} == --json ]] && JSON=1

# The human report goes to standard error in --json mode.
say() { if ((JSON)); then printf '%s\n' "$*" >&2; else printf '%s\n' "$*"; fi; }

for tool in h2load nghttpd curl; do
  command -v "$tool" >/dev/null || { echo "registry_h2load: $tool is missing (nghttp2-client, nghttp2-server, curl)" >&2; exit 1; }
done
[[ -x $DRIVER ]] || { echo "registry_h2load: $DRIVER is not built" >&2; exit 1; }
have_h2o=1 have_nginx=1
command -v h2o >/dev/null || { have_h2o=0; echo "registry_h2load: h2o is missing (apt-get install h2o): measured without it" >&2; }
command -v nginx >/dev/null || { have_nginx=0; echo "registry_h2load: nginx is missing (apt-get install nginx-light): measured without it" >&2; }

work=$(mktemp -d)
chmod 755 "$work"  # h2o and nginx workers drop to nobody and must read the document
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A port below the ephemeral range (which h2load's own connections draw from)
# that nothing holds right now.
free_port() {
  /usr/bin/python3 - <<'EOF'
import random, socket
low = int(open("/proc/sys/net/ipv4/ip_local_port_range").read().split()[0])
for _ in range(1000):
    port = random.randrange(max(1024, low - 12000), low)
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", port))
    except OSError:
        continue
    finally:
        s.close()
    print(port)
    break
EOF
}

wait_up() { # url [--http2-prior-knowledge]
  for _ in $(seq 200); do
    curl -sf "${@:2}" "$1" >/dev/null && return 0
    sleep 0.05
  done
  echo "registry_h2load: nothing answers $1" >&2
  exit 1
}

# The registry: its first line on standard output is the bound address.
mkfifo "$work/announce"
"$DRIVER" 127.0.0.1:0 60000 >"$work/announce" &
pids+=($!)
read -r -t 10 address <"$work/announce"
registry=http://$address

# The registry's own health document, served by the others byte for byte.
mkdir "$work/www"
curl -sf --http2-prior-knowledge "$registry/health" >"$work/www/health"
chmod 644 "$work/www/health"
doc_bytes=$(stat -c %s "$work/www/health")

port=$(free_port)
nghttpd --no-tls -n "$WORKERS" -a 127.0.0.1 -d "$work/www" "$port" >/dev/null 2>&1 &
pids+=($!)
nghttpd_url=http://127.0.0.1:$port
wait_up "$nghttpd_url/health" --http2-prior-knowledge

if ((have_h2o)); then
  port=$(free_port)
  cat >"$work/h2o.conf" <<EOF
num-threads: $WORKERS
listen:
  port: $port
  host: 127.0.0.1
error-log: /dev/null
hosts:
  default:
    paths:
      /:
        file.dir: $work/www
EOF
  h2o -c "$work/h2o.conf" >/dev/null 2>&1 &
  pids+=($!)
  h2o_url=http://127.0.0.1:$port
  wait_up "$h2o_url/health"
fi

if ((have_nginx)); then
  port=$(free_port)
  mkdir "$work/nginx"
  # Master and workers: with master_process off nginx runs one process only.
  cat >"$work/nginx.conf" <<EOF
daemon off;
worker_processes $WORKERS;
error_log stderr;
pid $work/nginx/nginx.pid;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  keepalive_requests 100000000;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
    location / { }
  }
}
EOF
  nginx -e stderr -p "$work/nginx" -c "$work/nginx.conf" 2>"$work/nginx.log" &
  pids+=($!)
  nginx_url=http://127.0.0.1:$port
  wait_up "$nginx_url/health"
fi

# A fixed lease refresh: join once, then the same beat only renews the lease.
printf '%s' '{"pool":"bench","slot":null,"id":1,"incarnation":1,"policy":"rr","size":null,"url":null,"state":{},"ready":true,"leaving":false,"exclusive":false,"methods":[],"watch":[],"seen":{},"hold_ms":0}' >"$work/beat.json"
curl -sf --http2-prior-knowledge -H 'content-type: application/json' --data-binary "@$work/beat.json" \
  "$registry/v1/beat" | grep -q '"accepted":true'

# h2load args... -> req/s of one timed run, after checking that every request
# succeeded with a 2xx.
rate() {
  local out
  out=$(h2load -c 64 -t 4 -D "$DURATION" --warm-up-time="$WARMUP" "$@" 2>&1) || true
  local line succeeded failed errored ok
  line=$(grep '^requests:' <<<"$out" || true)
  succeeded=$(awk '{for (i = 1; i <= NF; i++) if ($(i + 1) ~ /^succeeded/) print $i}' <<<"$line")
  failed=$(awk '{for (i = 1; i <= NF; i++) if ($(i + 1) ~ /^failed/) print $i}' <<<"$line")
  errored=$(awk '{for (i = 1; i <= NF; i++) if ($(i + 1) ~ /^errored/) print $i}' <<<"$line")
  ok=$(awk '/^status codes:/ {print $3}' <<<"$out")
  if [[ -z $succeeded || $succeeded == 0 || $failed != 0 || $errored != 0 || $ok != "$succeeded" ]]; then
    echo "registry_h2load: failed requests for $*" >&2
    echo "$out" >&2
    exit 1
  fi
  awk '/^finished in/ {print $4}' <<<"$out"
}

median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

H2=(-m 10)
H1=(--h1 -m 1)
BEAT=(-d "$work/beat.json" -H 'content-type: application/json')

declare -A runs  # name -> space-separated req/s of each round
measure() { # name args...
  local name=$1
  shift
  local r
  r=$(rate "$@")
  runs[$name]="${runs[$name]:-} $r"
  say "  $name: $r req/s"
}

say "registry_h2load: $doc_bytes-byte health document; $WORKERS workers per server; h2load -c 64 -t 4 -D $DURATION --warm-up-time=$WARMUP, $ROUNDS rounds"
for round in $(seq "$ROUNDS"); do
  say "round $round"
  measure h2c.nghttpd.health "${H2[@]}" "$nghttpd_url/health"
  ((have_h2o)) && measure h2c.h2o.health "${H2[@]}" "$h2o_url/health"
  measure h2c.registry.health "${H2[@]}" "$registry/health"
  measure h2c.registry.beat "${H2[@]}" "${BEAT[@]}" "$registry/v1/beat"
  ((have_nginx)) && measure h1.nginx.health "${H1[@]}" "$nginx_url/health"
  ((have_h2o)) && measure h1.h2o.health "${H1[@]}" "$h2o_url/health"
  measure h1.registry.health "${H1[@]}" "$registry/health"
  measure h1.registry.beat "${H1[@]}" "${BEAT[@]}" "$registry/v1/beat"
done

# The best anchor of a protocol: the highest median among those measured.
declare -A med
for name in "${!runs[@]}"; do
  # shellcheck disable=SC2086
  med[$name]=$(median ${runs[$name]})
done
best() { # proto anchors...
  local proto=$1 best_name="" best_rate=0
  shift
  for a in "$@"; do
    local r=${med[$proto.$a.health]:-}
    [[ -z $r ]] && continue
    if awk -v a="$r" -v b="$best_rate" 'BEGIN {exit !(a > b)}'; then best_name=$a best_rate=$r; fi
  done
  echo "$best_name"
}
h2c_anchor=$(best h2c nghttpd h2o)
h1_anchor=$(best h1 nginx h2o)
[[ -n $h1_anchor ]] || { echo "registry_h2load: no HTTP/1.1 anchor (nginx or h2o) was measured" >&2; exit 1; }

# The lease refresh's anchors: nghttpd over h2c, the best anchor over HTTP/1.1.
h2c_beat_anchor=nghttpd
h1_beat_anchor=$h1_anchor

report() { # proto anchor beat-anchor
  local p=$1 a=$2 b=$3
  awk -v p="$p" -v a="$a" -v b="$b" -v anchor="${med[$p.$a.health]}" -v banchor="${med[$p.$b.health]}" \
    -v health="${med[$p.registry.health]}" -v beat="${med[$p.registry.beat]}" -v n="$ROUNDS" 'BEGIN {
    printf "%s (median of %d rounds), anchor: %s\n", p, n, a
    printf "  %-8s GET  /health   %10.0f req/s\n", a, anchor
    if (b != a) printf "  %-8s GET  /health   %10.0f req/s\n", b, banchor
    printf "  registry GET  /health   %10.0f req/s   %.2fx %s (goal 1.0x)\n", health, health / anchor, a
    printf "  registry POST /v1/beat  %10.0f req/s   %.2fx %s health (goal 0.8x)\n", beat, beat / banchor, b
  }'
}
if ((JSON)); then
  report h2c "$h2c_anchor" "$h2c_beat_anchor" >&2
  report h1 "$h1_anchor" "$h1_beat_anchor" >&2
  {
    printf '{"workers": %d, "rounds": %d, "duration": "%s", "doc_bytes": %d, "anchors": {"h2c": "%s", "h1": "%s"}, ' \
      "$WORKERS" "$ROUNDS" "$DURATION" "$doc_bytes" "$h2c_anchor" "$h1_anchor"
    printf '"beat_anchors": {"h2c": "%s", "h1": "%s"}, "runs": {' "$h2c_beat_anchor" "$h1_beat_anchor"
    sep=""
    for name in $(printf '%s\n' "${!runs[@]}" | sort); do
      # shellcheck disable=SC2086
      printf '%s"%s": [%s]' "$sep" "$name" "$(echo ${runs[$name]} | sed 's/ /, /g')"
      sep=", "
    done
    printf '}}\n'
  }
else
  report h2c "$h2c_anchor" "$h2c_beat_anchor"
  report h1 "$h1_anchor" "$h1_beat_anchor"
fi
