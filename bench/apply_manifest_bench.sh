#!/usr/bin/env bash
# Whole-program figures of ZuveloElevated --apply-manifest against nginx on loopback
# HTTPS (keep-alive on, a CA made for the run), next to a baseline over the same URLs:
# the curl program fetching them into a folder, openssl dgst -sha256 over them, cp -r
# into a second folder; and that baseline once more with the copies flushed (sync -d),
# since the program makes the files it installs durable.
#   (a) 1 GiB in 8 files     (b) 10,000 files of 16 KiB
# Each: a fresh install into an empty folder with an empty cache, then the same update
# into another empty folder served from the cache. Prints times, files per second, the
# ratios to both baselines and peak memory. Prints figures only; nothing here passes or
# fails on speed.
#   bench/apply_manifest_bench.sh            both scenarios
#   BENCH_A="COUNT BYTES" BENCH_B="COUNT BYTES" change their sizes (for a quick trial)
#   BENCH_ONLY=a|b runs one; BENCH_BUILD_DIR (build-bench), BENCH_WORK_DIR (TMPDIR) choose folders.
# Builds in Release without sanitizers; installs nginx-light when no nginx is found
# (needs curl, openssl and /usr/bin/time).
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in curl openssl cmake sync; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is required" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is required (Debian package time)" >&2; exit 1; }

find_nginx() { command -v nginx || { [ -x /usr/sbin/nginx ] && echo /usr/sbin/nginx; } || true; }
nginx=$(find_nginx)
if [ -z "$nginx" ]; then
  echo "bench: installing nginx-light" >&2
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq nginx-light >&2
  nginx=$(find_nginx)
  [ -n "$nginx" ] || { echo "bench: nginx is required" >&2; exit 1; }
fi

work=$(mktemp -d "${BENCH_WORK_DIR:-${TMPDIR:-/tmp}}/zuvelo-bench.XXXXXX")
server_pid=""
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  fi
}
cleanup() {
  stop_server
  rm -rf "$work"
}
trap cleanup EXIT

build=${BENCH_BUILD_DIR:-build-bench}
# Warnings do not stop this build: it is only for figures (CI builds with -Werror).
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZUVELO_SANITIZE=OFF -DZUVELO_WERROR=OFF \
         -DZUVELO_BUILD_BENCH=OFF -DZUVELO_MANIFEST_PUBLIC_KEYS="$(cat tests/keys/manifest_test_key.pub)" &&
       cmake --build "$build" -j "$(nproc)" --target ZuveloElevated zuvelo_release_maker; } \
     >"$work/build.log" 2>&1; then
  cat "$work/build.log" >&2
  echo "bench: the build failed" >&2
  exit 1
fi
elevated=$build/elevated/ZuveloElevated
maker=$build/tests/support/zuvelo_release_maker

# A CA for this run and a certificate for 127.0.0.1 signed by it; sets ca_file.
make_certificates() {  # dir
  local dir=$1
  mkdir -p "$dir"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj "/CN=Zuvelo bench CA" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" -keyout "$dir/ca.key" -out "$dir/ca.pem" 2>/dev/null
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=127.0.0.1" \
    -keyout "$dir/server.key" -out "$dir/server.csr" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >"$dir/server.ext"
  openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -CAcreateserial -days 2 \
    -extfile "$dir/server.ext" -out "$dir/server.pem" 2>/dev/null
  ca_file=$dir/ca.pem
}

write_nginx_conf() {  # dir root port
  local user_line=""
  # Workers would otherwise drop to a user that cannot read the private work folder.
  [ "$(id -u)" -ne 0 ] || user_line="user root;"
  mkdir -p "$1/temp"
  cat >"$1/nginx.conf" <<EOF
daemon off;
$user_line
worker_processes 1;
pid $1/nginx.pid;
error_log $1/error.log;
events { worker_connections 256; }
http {
  access_log off;
  client_body_temp_path $1/temp/body;
  proxy_temp_path $1/temp/proxy;
  fastcgi_temp_path $1/temp/fastcgi;
  uwsgi_temp_path $1/temp/uwsgi;
  scgi_temp_path $1/temp/scgi;
  default_type application/octet-stream;
  keepalive_timeout 65s;
  ssl_protocols TLSv1.2 TLSv1.3;
  ssl_session_cache shared:bench:1m;
  server {
    listen 127.0.0.1:$3 ssl;
    ssl_certificate $1/server.pem;
    ssl_certificate_key $1/server.key;
    root $2;
  }
}
EOF
}

# nginx on a free loopback port, serving root; sets cdn and ca_file.
start_server() {  # root
  local dir=$work/nginx
  make_certificates "$dir"
  for _ in $(seq 20); do
    port=$((20000 + RANDOM % 40000))
    write_nginx_conf "$dir" "$1" "$port"
    : >"$dir/error.log"
    "$nginx" -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" 2>>"$dir/error.log" &
    server_pid=$!
    for _ in $(seq 50); do
      if curl --silent --output /dev/null --cacert "$ca_file" --noproxy 127.0.0.1 "https://127.0.0.1:$port/manifest.json"; then
        cdn="https://127.0.0.1:$port/"
        return
      fi
      kill -0 "$server_pid" 2>/dev/null || break
      sleep 0.1
    done
    stop_server
    grep -q "Address already in use" "$dir/error.log" || { cat "$dir/error.log" >&2; exit 1; }
  done
  echo "bench: no free port for nginx" >&2
  exit 1
}

now_ns() { date +%s%N; }
seconds_since() { awk -v s="$1" -v e="$(now_ns)" 'BEGIN { printf "%.3f", (e - s) / 1e9 }'; }
peak_mib() { awk '/Maximum resident set size/ { printf "%.1f", $NF / 1024 }' "$1"; }
count_files() { find "$1" -type f | wc -l; }
# Before each timed run: no earlier run's dirty pages are written back during it.
# Nothing is deleted before the scenario ends either: for a while after many files
# are deleted, ext4 makes every file creation skip their inodes, which slows
# whichever run comes next.
settle() { sync; }

rows=()
ratio() { awk -v t="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? t / b : 0) }'; }
add_row() {  # scenario run seconds files bytes peak
  local per_second mb_per_second
  per_second=$(awk -v n="$4" -v t="$3" 'BEGIN { printf "%.1f", (t > 0 ? n / t : 0) }')
  mb_per_second=$(awk -v b="$5" -v t="$3" 'BEGIN { printf "%.0f", (t > 0 ? b / 1048576 / t : 0) }')
  rows+=("$(printf '%-22s %-24s %9s %9s %8s %7s %8s %10s' "$1" "$2" "$3" "$per_second" "$mb_per_second" \
            "$(ratio "$3" "$baseline_seconds")" "$(ratio "$3" "$flushed_seconds")" "$6")")
}

# Runs ZuveloElevated into an empty target with the scenario's temporary folder (its cache).
run_product() {  # dir target label
  local dir=$1 target=$2 start seconds
  settle
  start=$(now_ns)
  if ! /usr/bin/time -v -o "$dir/time.txt" env ZUVELO_MACHINE_ROOT="$dir/machine" TMPDIR="$dir/tmp" \
       SSL_CERT_FILE="$ca_file" no_proxy=127.0.0.1 NO_PROXY=127.0.0.1 \
       "$elevated" --apply-manifest "${cdn}manifest.json" --target "$target" --cdn "$cdn" \
       >"$dir/events-$3.jsonl" 2>"$dir/stderr-$3.txt"; then
    echo "bench: ZuveloElevated failed ($3); last events:" >&2
    tail -5 "$dir/events-$3.jsonl" >&2
    exit 1
  fi
  seconds=$(seconds_since "$start")
  product_seconds=$seconds
  product_peak=$(peak_mib "$dir/time.txt")
}

run_baseline() {  # dir
  local dir=$1 start
  local downloads=$dir/baseline-downloads copy=$dir/baseline-copy
  : >"$dir/curl.cfg"
  while read -r served relative; do
    printf 'url = "%s%s"\noutput = "%s/%s"\n' "$cdn" "$served" "$downloads" "$relative" >>"$dir/curl.cfg"
  done <"$dir/files.txt"
  cat >"$dir/baseline.sh" <<EOF
set -e
curl --silent --show-error --fail --create-dirs --cacert "$ca_file" --noproxy 127.0.0.1 -K "$dir/curl.cfg"
find "$downloads" -type f -print0 | xargs -0 openssl dgst -sha256 >/dev/null
cp -r "$downloads" "$copy"
date +%s%N >"$dir/copied.ns"
find "$copy" -type f -print0 | xargs -0 sync -d
EOF
  settle
  start=$(now_ns)
  /usr/bin/time -v -o "$dir/time.txt" bash "$dir/baseline.sh"
  flushed_seconds=$(seconds_since "$start")
  baseline_seconds=$(awk -v s="$start" -v e="$(cat "$dir/copied.ns")" 'BEGIN { printf "%.3f", (e - s) / 1e9 }')
  baseline_peak=$(peak_mib "$dir/time.txt")
  [ "$(count_files "$copy")" -eq "$(wc -l <"$dir/files.txt")" ] || { echo "bench: baseline incomplete" >&2; exit 1; }
}

scenario() {  # name label count size
  local name=$1 label=$2 count=$3 size=$4 dir=$work/$1 bytes
  bytes=$((count * size))
  mkdir -p "$dir/machine" "$dir/tmp"
  echo "[$name] generating $count files of $size bytes" >&2
  "$maker" --root "$dir/www" --count "$count" --size "$size" --list "$dir/files.txt"
  start_server "$dir/www"

  echo "[$name] baseline" >&2
  run_baseline "$dir"
  add_row "$label" "baseline" "$baseline_seconds" "$count" "$bytes" "$baseline_peak"
  add_row "" "baseline, copies flushed" "$flushed_seconds" "$count" "$bytes" "$baseline_peak"

  echo "[$name] fresh install" >&2
  run_product "$dir" "$dir/install-fresh" fresh
  [ "$(count_files "$dir/install-fresh")" -eq "$count" ] || { echo "bench: fresh install incomplete" >&2; exit 1; }
  add_row "" "fresh install" "$product_seconds" "$count" "$bytes" "$product_peak"

  echo "[$name] update from the cache" >&2
  run_product "$dir" "$dir/install-cached" cached
  [ "$(count_files "$dir/install-cached")" -eq "$count" ] || { echo "bench: cached install incomplete" >&2; exit 1; }
  add_row "" "from the cache" "$product_seconds" "$count" "$bytes" "$product_peak"

  stop_server
  rm -rf "$dir"
}

read -r a_count a_size <<<"${BENCH_A:-8 134217728}"
read -r b_count b_size <<<"${BENCH_B:-10000 16384}"
only=${BENCH_ONLY:-}
[ "$only" = "b" ] || scenario a "a: $a_count x $((a_size / 1048576)) MiB" "$a_count" "$a_size"
[ "$only" = "a" ] || scenario b "b: $b_count x $((b_size / 1024)) KiB" "$b_count" "$b_size"

echo
printf '%-22s %-24s %9s %9s %8s %7s %8s %10s\n' "scenario" "run" "seconds" "files/s" "MiB/s" "ratio" "flushed" \
  "peak MiB"
for row in "${rows[@]}"; do echo "$row"; done
echo "ratio: time over the baseline's (curl, then openssl dgst -sha256, then cp -r); flushed: time over the"
echo "baseline's with sync -d on the copies; peak: maximum resident set size. Server: nginx, keep-alive on."
