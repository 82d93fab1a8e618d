#!/usr/bin/env bash
# Whole-program figures of ZuveloElevated --apply-manifest against nginx on loopback
# HTTPS (keep-alive on, a CA made for the run), next to a baseline over the same URLs:
# the curl program fetching them into a folder, openssl dgst -sha256 over them, cp -r
# into a second folder; and that baseline once more with the copies flushed (sync -d),
# since the program makes the files it installs durable.
#   (a) 1 GiB in 8 files     (b) 10,000 files of 16 KiB
# Each: pairs of the baseline and a fresh install (into an empty folder with an empty
# cache), run in turn so that both see the same load on a shared machine, then the same
# update into another empty folder served from the last pair's cache. Prints medians of
# the times, files per second, the ratios to both baselines (each the median of the
# pairs' own ratios) and peak memory; then each phase of the program (download, verify,
# install, from its events) next to the baseline's step doing that work (curl, openssl
# dgst, cp -r with and without sync -d), and the load average before and after. Prints
# figures only; nothing here passes or fails on speed.
#   bench/apply_manifest_bench.sh            both scenarios
#   BENCH_A="COUNT BYTES" BENCH_B="COUNT BYTES" change their sizes (for a quick trial)
#   BENCH_PAIRS (5) pairs per scenario; BENCH_ONLY=a|b runs one;
#   BENCH_BUILD_DIR (build-bench), BENCH_WORK_DIR (TMPDIR) choose folders.
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
seconds_between() { awk -v s="$1" -v e="$2" 'BEGIN { printf "%.3f", (e - s) / 1e9 }'; }
peak_mib() { awk '/Maximum resident set size/ { printf "%.1f", $NF / 1024 }' "$1"; }
count_files() { find "$1" -type f | wc -l; }
load_average() { cut -d' ' -f1-3 /proc/loadavg; }
# Before each timed run: no earlier run's dirty pages are written back during it.
# Nothing is deleted before the scenario ends either (but the few large files of a
# pair): for a while after many files are deleted, ext4 makes every file creation
# skip their inodes, which slows whichever run comes next.
settle() { sync; }

ratio() { awk -v t="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? t / b : 0) }'; }
# The median of the numbers given as words, printed with format (%.3f).
median() {
  printf '%s\n' $1 | sort -g | awk -v format="${2:-%.3f}" '{ v[NR] = $1 } END {
    m = NR == 0 ? 0 : (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2); printf format "\n", m }'
}
median_ratio() { median "$1" "%.2f"; }
median_mib() { median "$1" "%.1f"; }

# The time, in nanoseconds since 1970, of the first event whose message begins with text.
event_ns() {  # events text
  local stamp
  stamp=$(grep -m1 -F "\"message\":\"$2" "$1" | sed -E 's/.*"timestamp":"([^"]+)".*/\1/')
  [ -n "$stamp" ] || { echo "bench: no event \"$2\" in $1" >&2; exit 1; }
  date -u -d "$stamp" +%s%N
}

# Runs ZuveloElevated into an empty target with the temporary folder tmp (its cache);
# sets product_seconds, product_peak and the seconds of its phases.
run_product() {  # dir tmp target label
  local dir=$1 tmp=$2 target=$3 label=$4 start end events=$1/events-$4.jsonl
  mkdir -p "$tmp"
  settle
  start=$(now_ns)
  if ! /usr/bin/time -v -o "$dir/time.txt" env ZUVELO_MACHINE_ROOT="$dir/machine" TMPDIR="$tmp" \
       SSL_CERT_FILE="$ca_file" no_proxy=127.0.0.1 NO_PROXY=127.0.0.1 \
       "$elevated" --apply-manifest "${cdn}manifest.json" --target "$target" --cdn "$cdn" \
       >"$events" 2>"$dir/stderr-$label.txt"; then
    # Other test runs on a shared machine may end every ZuveloElevated they find.
    echo "bench: ZuveloElevated failed ($label: $(grep -E "non-zero status|terminated by signal" "$dir/time.txt" |
      head -1 | sed 's/^[[:space:]]*//')); last events and errors:" >&2
    tail -5 "$events" "$dir/stderr-$label.txt" >&2
    exit 1
  fi
  end=$(now_ns)
  product_seconds=$(seconds_between "$start" "$end")
  product_peak=$(peak_mib "$dir/time.txt")
  local downloading verifying installing installed
  downloading=$(event_ns "$events" "Downloading all files from manifest")
  verifying=$(event_ns "$events" "Verifying all downloaded files")
  installing=$(event_ns "$events" "Installing all files to target directory")
  installed=$(event_ns "$events" "All files installed successfully")
  product_download=$(seconds_between "$downloading" "$verifying")
  product_verify=$(seconds_between "$verifying" "$installing")
  product_install=$(seconds_between "$installing" "$installed")
}

# Runs the baseline into downloads and copy; sets baseline_seconds (up to the end of
# cp), flushed_seconds, baseline_peak and the seconds of its steps.
run_baseline() {  # dir downloads copy
  local dir=$1 downloads=$2 copy=$3 start
  : >"$dir/curl.cfg"
  while read -r served relative; do
    printf 'url = "%s%s"\noutput = "%s/%s"\n' "$cdn" "$served" "$downloads" "$relative" >>"$dir/curl.cfg"
  done <"$dir/files.txt"
  cat >"$dir/baseline.sh" <<SCRIPT
set -e
curl --silent --show-error --fail --create-dirs --cacert "$ca_file" --noproxy 127.0.0.1 -K "$dir/curl.cfg"
date +%s%N >"$dir/fetched.ns"
find "$downloads" -type f -print0 | xargs -0 openssl dgst -sha256 >/dev/null
date +%s%N >"$dir/hashed.ns"
cp -r "$downloads" "$copy"
date +%s%N >"$dir/copied.ns"
find "$copy" -type f -print0 | xargs -0 sync -d
SCRIPT
  settle
  start=$(now_ns)
  /usr/bin/time -v -o "$dir/time.txt" bash "$dir/baseline.sh"
  local end fetched hashed copied
  end=$(now_ns)
  fetched=$(cat "$dir/fetched.ns")
  hashed=$(cat "$dir/hashed.ns")
  copied=$(cat "$dir/copied.ns")
  flushed_seconds=$(seconds_between "$start" "$end")
  baseline_seconds=$(seconds_between "$start" "$copied")
  baseline_download=$(seconds_between "$start" "$fetched")
  baseline_verify=$(seconds_between "$fetched" "$hashed")
  baseline_install=$(seconds_between "$hashed" "$copied")
  baseline_install_flushed=$(seconds_between "$hashed" "$end")
  baseline_peak=$(peak_mib "$dir/time.txt")
  [ "$(count_files "$copy")" -eq "$(wc -l <"$dir/files.txt")" ] || { echo "bench: baseline incomplete" >&2; exit 1; }
}

rows=()
phase_rows=()
add_row() {  # scenario run seconds files bytes peak ratio flushed-ratio
  local per_second mb_per_second
  per_second=$(awk -v n="$4" -v t="$3" 'BEGIN { printf "%.1f", (t > 0 ? n / t : 0) }')
  mb_per_second=$(awk -v b="$5" -v t="$3" 'BEGIN { printf "%.0f", (t > 0 ? b / 1048576 / t : 0) }')
  rows+=("$(printf '%-22s %-24s %9s %9s %8s %7s %8s %10s' "$1" "$2" "$3" "$per_second" "$mb_per_second" "$7" "$8" "$6")")
}
add_phase_row() {  # scenario phase step baseline flushed-baseline program ratio flushed-ratio
  phase_rows+=("$(printf '%-22s %-9s %-21s %9s %9s %9s %7s %8s' "$@")")
}

scenario() {  # name label count size
  local name=$1 label=$2 count=$3 size=$4 dir=$work/$1 bytes pairs=${BENCH_PAIRS:-5} i load_before
  bytes=$((count * size))
  mkdir -p "$dir/machine"
  echo "[$name] generating $count files of $size bytes" >&2
  "$maker" --root "$dir/www" --count "$count" --size "$size" --list "$dir/files.txt"
  start_server "$dir/www"

  # Each figure of every pair, one word per pair.
  local -A f=()
  load_before=$(load_average)
  for i in $(seq "$pairs"); do
    echo "[$name] pair $i of $pairs: baseline, then a fresh install" >&2
    run_baseline "$dir" "$dir/baseline-downloads-$i" "$dir/baseline-copy-$i"
    run_product "$dir" "$dir/tmp-$i" "$dir/install-fresh-$i" "fresh-$i"
    [ "$(count_files "$dir/install-fresh-$i")" -eq "$count" ] || { echo "bench: fresh install incomplete" >&2; exit 1; }
    f[plain]+=" $baseline_seconds" f[flushed]+=" $flushed_seconds" f[basepeak]+=" $baseline_peak"
    f[fresh]+=" $product_seconds" f[freshpeak]+=" $product_peak"
    f[ratio]+=" $(ratio "$product_seconds" "$baseline_seconds")"
    f[fratio]+=" $(ratio "$product_seconds" "$flushed_seconds")"
    f[flushcost]+=" $(ratio "$flushed_seconds" "$baseline_seconds")"
    f[bd]+=" $baseline_download" f[bv]+=" $baseline_verify" f[bi]+=" $baseline_install"
    f[bif]+=" $baseline_install_flushed"
    f[pd]+=" $product_download" f[pv]+=" $product_verify" f[pi]+=" $product_install"
    f[rd]+=" $(ratio "$product_download" "$baseline_download")"
    f[rv]+=" $(ratio "$product_verify" "$baseline_verify")"
    f[ri]+=" $(ratio "$product_install" "$baseline_install")"
    f[rif]+=" $(ratio "$product_install" "$baseline_install_flushed")"
    # Large files would fill the disk; they are few, so removing them slows nothing.
    if [ "$i" -lt "$pairs" ] && [ "$count" -lt 100 ]; then
      rm -rf "$dir/baseline-downloads-$i" "$dir/baseline-copy-$i" "$dir/tmp-$i" "$dir/install-fresh-$i"
    fi
  done

  echo "[$name] update from the last pair's cache" >&2
  run_product "$dir" "$dir/tmp-$pairs" "$dir/install-cached" cached
  [ "$(count_files "$dir/install-cached")" -eq "$count" ] || { echo "bench: cached install incomplete" >&2; exit 1; }
  local plain flushed
  plain=$(median "${f[plain]}")
  flushed=$(median "${f[flushed]}")
  add_row "$label" "baseline" "$plain" "$count" "$bytes" "$(median_mib "${f[basepeak]}")" "1.00" \
    "$(ratio 1 "$(median_ratio "${f[flushcost]}")")"
  add_row "" "baseline, copies flushed" "$flushed" "$count" "$bytes" "$(median_mib "${f[basepeak]}")" \
    "$(median_ratio "${f[flushcost]}")" "1.00"
  add_row "" "fresh install" "$(median "${f[fresh]}")" "$count" "$bytes" "$(median_mib "${f[freshpeak]}")" \
    "$(median_ratio "${f[ratio]}")" "$(median_ratio "${f[fratio]}")"
  add_row "" "from the cache (once)" "$product_seconds" "$count" "$bytes" "$product_peak" \
    "$(ratio "$product_seconds" "$plain")" "$(ratio "$product_seconds" "$flushed")"

  add_phase_row "$label" "download" "curl" "$(median "${f[bd]}")" "$(median "${f[bd]}")" \
    "$(median "${f[pd]}")" "$(median_ratio "${f[rd]}")" "$(median_ratio "${f[rd]}")"
  add_phase_row "" "verify" "openssl dgst -sha256" "$(median "${f[bv]}")" "$(median "${f[bv]}")" \
    "$(median "${f[pv]}")" "$(median_ratio "${f[rv]}")" "$(median_ratio "${f[rv]}")"
  add_phase_row "" "install" "cp -r, then sync -d" "$(median "${f[bi]}")" "$(median "${f[bif]}")" \
    "$(median "${f[pi]}")" "$(median_ratio "${f[ri]}")" "$(median_ratio "${f[rif]}")"
  phase_rows+=("$(printf '%-22s load average %s before, %s after' "" "$load_before" "$(load_average)")")

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
echo "Medians of ${BENCH_PAIRS:-5} pairs run in turn; each ratio is the median of the pairs' own ratios."
echo
printf '%-22s %-9s %-21s %9s %9s %9s %7s %8s\n' "scenario" "phase" "baseline step" "baseline" "flushed" "program" \
  "ratio" "flushed"
for row in "${phase_rows[@]}"; do echo "$row"; done
echo "Seconds of each phase of the program (between its events) and of the baseline's step doing that work;"
echo "flushed: the install step with sync -d on the copies (the program flushes what it installs)."
