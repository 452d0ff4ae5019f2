#!/usr/bin/env bash
# Throughput and memory of the proxy against squid and Apache Traffic Server
# on loopback, each with its access log on, all three started in one run:
#
#   - the daemon on the shipped configuration (etc/quillmere.xml, its own
#     port and cache directory), started as the installed unit starts it:
#     detached (no -f), its own log files and PID file, no -C, no
#     socket-buffer tuning;
#   - squid with a 256 MB memory cache;
#   - Traffic Server (Debian's trafficserver) as a forward proxy in an
#     instance of its own: no remapping required, no reverse proxy, a 256 MB
#     RAM cache in front of a 512 MB cache file, read-while-writer off and an
#     open-read retry time of 1 ms (simultaneous requests for one URL do not
#     wait for each other), loopback-only ip_allow.
#
# nginx is the origin: /1k.bin and /100k.bin may not be cached, /hit/...
# may be kept an hour. wrk (4 threads) sends GETs in absolute form over 64
# kept-alive connections, for five cases: uncached 1 KiB, cached 1 KiB,
# uncached 100 KiB, cached 100 KiB, uncached 1 KiB over 1,000 connections.
# Every case runs the three proxies one after another (the order rotates
# each round), then each proxy's resident memory is taken. Three full rounds
# (BENCH_ROUNDS) give the medians, per case the three rates with the
# daemon's rate against Traffic Server's and squid's, then one line per
# target, "target held" or "target missed": the daemon at least 0.8x
# Traffic Server's rate in every case, a 1 KiB hit at least twice a 1 KiB
# miss; and the memory after the last round against the first.
#
# Then a hostile-load case (BENCH_HOSTILE=0 skips it): 2,000 slow and 2,000
# idle kept-alive clients against a daemon of its own while wrk measures,
# with the shipped options and with -t 1024. BENCH_ONLY=hostile runs only
# this case.
#
# Then a 100 MB file from pyftpdlib through the daemon's FTP gateway and
# squid's. After that, unless BENCH_ONLY=compare: a second daemon with the request
# checks (URL filter, DNS blacklist, a URL blacklist of 1,000,000 domains);
# cache hits while the cache browser searches; 100 KiB misses scanned by
# clamd through the daemon's ClamAV adapter and through squid with c-icap's
# virus_scan; 100 KiB misses through c-icap's echo service in RESPMOD, from
# the daemon's ICAP client and from squid. A benchmark, not a test: it
# asserts nothing.
#
# Usage: scripts/bench.sh [seconds per run]   (QUILL_BIN: the daemon to use,
# by default a release build made in build-bench; QUILL_BENCH_ARGS: more
# daemon options; BENCH_KEEP=1 keeps the work directory)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-10}
rounds=${BENCH_ROUNDS:-3}
threads=4
connections=64
many=1000

# wrk, squid, nginx, Traffic Server and the scanners: the bench's own
# packages, never installed by the test command.
bash scripts/install-deps.sh bench
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
squid_bin=$(command -v squid || echo /usr/sbin/squid)
ats_bin=$(command -v traffic_server || echo /usr/bin/traffic_server)

# 1,000 client connections, as many to the origin, and the proxies' own
# files: raise the descriptor limit as far as the hard limit allows.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
[ "$(ulimit -n)" = unlimited ] || [ "$(ulimit -n)" -ge 8192 ] ||
    echo "warning: descriptor limit $(ulimit -n); the $many-connection case needs more" >&2

bin=${QUILL_BIN:-}
if [ -z "$bin" ]; then
    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUILL_TESTS=OFF >/dev/null
    cmake --build build-bench -j "$(nproc)" --target quillmere >/dev/null
    bin=$root/build-bench/quillmere
fi

work=$(mktemp -d /tmp/quill-bench.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
    for p in "${pids[@]}"; do
        kill "$p" 2>/dev/null || true
    done
    for p in "${pids[@]}"; do
        wait "$p" 2>/dev/null || true
    done
    [ -n "${BENCH_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
wait_port() {
    for _ in $(seq 1 300); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
        sleep 0.1
    done
    echo "nothing listens on port $1" >&2
    return 1
}
ratio() {   # ratio A B -> A/B with two decimals, "-" without B
    awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'
}
rss_kib() {   # rss_kib PID -> resident KiB of the process
    awk '/^VmRSS/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0
}

origin_port=$(free_port)
proxy_port=$(free_port)
squid_port=$(free_port)
ats_port=$(free_port)

# The origin: fixed files, kept-alive without end.
mkdir -p "$work/www/hit" "$work/nginx"
head -c 1024 /dev/urandom >"$work/www/1k.bin"
head -c 102400 /dev/urandom >"$work/www/100k.bin"
cp "$work/www/1k.bin" "$work/www/100k.bin" "$work/www/hit/"
cat >"$work/nginx/nginx.conf" <<EOF
$( [ "$(id -u)" -eq 0 ] && echo "user root;" )
worker_processes 4;
worker_rlimit_nofile 16384;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 8192; }
http {
    access_log off;
    client_body_temp_path $work/nginx/body; proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi; uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    keepalive_requests 1000000; keepalive_timeout 120;
    sendfile on; tcp_nopush on;
    types { application/octet-stream bin; }
    server {
        listen 127.0.0.1:$origin_port backlog=4096;
        root $work/www;
        etag off;
        location / { add_header Cache-Control "no-store, no-cache, private" always; }
        location /hit/ { add_header Cache-Control "max-age=3600" always; }
    }
}
EOF

# The daemon: the shipped configuration on its own port and cache
# directory, its logs on, detached as the installed unit starts it (the
# unit's options but the run-as user; -r for a performance log the bench
# can write), socket buffers left to the kernel. QUILL_BENCH_ARGS adds
# options. The
# local machine also gets the web interface, without a login pair, for the
# cache browser's searches further down.
sed -e "s|<port>8080</port>|<port>$proxy_port</port>|" -e "s|/var/cache/quillmere|$work/cache|" \
    -e "s|<permissions>proxy,connect,commands</permissions>|<permissions>interface,proxy,connect,commands</permissions>|" \
    etc/quillmere.xml >"$work/quillmere.xml"
proxy_args=(-c "$work/quillmere.xml" -s "$root/etc/section.xml" -l "$work/native.log"
            -a "$work/access.log" -e "$work/extended.log" -r "$work/performance.log"
            ${QUILL_BENCH_ARGS:-})
# start_daemon NAME ARGS...: starts a detached daemon (the launcher returns
# once its start is over) with the PID file $work/NAME.pid; its process id
# goes to daemon_pid.
start_daemon() {
    local name=$1
    shift
    if ! "$bin" "$@" -p "$work/$name.pid" >"$work/$name.out" 2>&1; then
        echo "the daemon ($name) did not start:" >&2
        cat "$work/$name.out" >&2
        exit 1
    fi
    daemon_pid=$(cat "$work/$name.pid")
    pids+=("$daemon_pid")
}

# squid: a memory cache, one worker, its access log on.
mkdir -p "$work/squid"
cat >"$work/squid/squid.conf" <<EOF
http_port 127.0.0.1:$squid_port
acl localnet src 127.0.0.1
http_access allow localnet
http_access deny all
cache_mem 256 MB
maximum_object_size_in_memory 1 MB
max_filedescriptors 16384
workers 1
access_log stdio:$work/squid/access.log
cache_log $work/squid/cache.log
pid_filename $work/squid/squid.pid
coredump_dir $work/squid
$( [ "$(id -u)" -eq 0 ] && echo "cache_effective_user proxy" )
shutdown_lifetime 1 seconds
EOF
# squid will not run as root: as root it becomes the user "proxy".
[ "$(id -u)" -eq 0 ] && chown -R proxy "$work/squid"

# Traffic Server: Debian's configuration files copied into a run root of
# its own, the bench's records appended (the last line of a record wins).
ats=$work/ats
mkdir -p "$ats/etc" "$ats/run" "$ats/log" "$ats/cache" "$ats/var"
cp -r /etc/trafficserver/. "$ats/etc/"
cat >"$ats/runroot.yaml" <<EOF
prefix: $ats
exec_prefix: /usr
bindir: /usr/bin
sbindir: /usr/bin
sysconfdir: $ats/etc
datadir: $ats/var
includedir: /usr/include
libdir: /usr/lib/trafficserver
libexecdir: /usr/lib/trafficserver/modules
localstatedir: $ats/var
runtimedir: $ats/run
logdir: $ats/log
cachedir: $ats/cache
EOF
cat >>"$ats/etc/records.config" <<EOF
CONFIG proxy.config.http.server_ports STRING $ats_port:ip-in=127.0.0.1
CONFIG proxy.config.url_remap.remap_required INT 0
CONFIG proxy.config.reverse_proxy.enabled INT 0
CONFIG proxy.config.cache.ram_cache.size INT 268435456
CONFIG proxy.config.cache.enable_read_while_writer INT 0
CONFIG proxy.config.http.cache.open_read_retry_time INT 1
CONFIG proxy.config.log.logging_enabled INT 3
CONFIG proxy.config.admin.user_id STRING #-1
EOF
echo "$ats/cache 512M" >"$ats/etc/storage.config"
cat >"$ats/etc/ip_allow.yaml" <<EOF
ip_allow:
  - apply: in
    ip_addrs: [127.0.0.1, "::1"]
    action: allow
  - apply: in
    ip_addrs: [0/0, "::/0"]
    action: deny
EOF

"$nginx_bin" -p "$work/nginx" -c "$work/nginx/nginx.conf" &
pids+=($!)
start_daemon proxy "${proxy_args[@]}"
proxy_pid=$daemon_pid
"$squid_bin" -n "quillbench$$" -N -f "$work/squid/squid.conf" >"$work/squid/stdout" 2>&1 &
squid_pid=$!
pids+=($squid_pid)
"$ats_bin" --run-root="$ats/runroot.yaml" >"$ats/stdout" 2>&1 &
ats_pid=$!
pids+=($ats_pid)
wait_port "$origin_port"
wait_port "$proxy_port"
wait_port "$squid_port"
wait_port "$ats_port"
# Traffic Server listens before its cache is up: wait for it.
for _ in $(seq 1 300); do
    grep -q "fully initialized" "$ats/log/diags.log" 2>/dev/null && break
    sleep 0.1
done

cat >"$work/proxy.lua" <<'EOF'
-- Requests in absolute form, as a client sends them to a proxy.
wrk.path = os.getenv("TARGET")
EOF

run() {   # run PORT TARGET-URL [CONNECTIONS] -> requests per second
    local port=$1 target=$2 conns=${3:-$connections} out
    if [ "$port" = "$origin_port" ]; then
        out=$(wrk -t "$threads" -c "$conns" -d "${seconds}s" "$target")
    else
        out=$(TARGET="$target" wrk -t "$threads" -c "$conns" -d "${seconds}s" \
              -s "$work/proxy.lua" "http://127.0.0.1:$port/")
    fi
    if echo "$out" | grep -q -E "Non-2xx|Socket errors"; then
        echo "$out" | grep -E "Non-2xx|Socket errors" | sed "s|^|  port $port $target: |" >&2
    fi
    echo "$out" | awk '/^Requests\/sec/ {print $2}'
}

echo "== origin (nginx) configuration =="
cat "$work/nginx/nginx.conf"
echo "== squid configuration =="
cat "$work/squid/squid.conf"
echo "== Traffic Server: $("$ats_bin" --version 2>&1 | head -1); records added to Debian's =="
tail -n 8 "$ats/etc/records.config"
cat "$ats/etc/storage.config" "$ats/etc/ip_allow.yaml"
echo "== daemon =="
echo "$bin ${proxy_args[*]}"
echo "== load: wrk -t $threads -c $connections (and -c $many) -d ${seconds}s, $rounds rounds, on $(nproc) cores =="
echo "memory at start: daemon $(rss_kib $proxy_pid) KiB, squid $(rss_kib $squid_pid) KiB," \
     "Traffic Server $(rss_kib $ats_pid) KiB"

# Warm every path (connections, pools, page cache) and store the cached
# objects in each cache: the second fetch of /hit/ is a hit everywhere.
for port in "$proxy_port" "$squid_port" "$ats_port"; do
    for f in 1k.bin 100k.bin hit/1k.bin hit/100k.bin hit/1k.bin hit/100k.bin; do
        curl -s -o /dev/null -x "127.0.0.1:$port" "http://127.0.0.1:$origin_port/$f"
    done
done

# BENCH_ONLY=hostile goes straight to the hostile-load case.
if [ "${BENCH_ONLY:-}" != hostile ]; then
cases=("uncached-1k /1k.bin $connections" "cached-1k /hit/1k.bin $connections"
       "uncached-100k /100k.bin $connections" "cached-100k /hit/100k.bin $connections"
       "uncached-1k-c$many /1k.bin $many")
names=(daemon squid ats)
ports=("$proxy_port" "$squid_port" "$ats_port")
procs=("$proxy_pid" "$squid_pid" "$ats_pid")
results=$work/results   # round case proxy rate rss
: >"$results"
printf "%-5s %-20s %12s %12s %12s %10s %10s %8s %8s %8s\n" round case daemon squid ats \
    d/squid d/ats "RSS MiB" squid ats
for round in $(seq 1 "$rounds"); do
    for c in "${cases[@]}"; do
        read -r name path conns <<<"$c"
        declare -A rate=()
        for k in 0 1 2; do
            i=$(( (k + round - 1) % 3 ))
            rate[$i]=$(run "${ports[$i]}" "http://127.0.0.1:$origin_port$path" "$conns")
            rate[$i]=${rate[$i]:-0}
        done
        line=""
        for i in 0 1 2; do
            rss=$(rss_kib "${procs[$i]}")
            echo "$round $name ${names[$i]} ${rate[$i]} $rss" >>"$results"
            line="$line $(awk -v k="$rss" 'BEGIN { printf "%8.1f", k / 1024 }')"
        done
        printf "%-5s %-20s %12s %12s %12s %10s %10s %s\n" "$round" "$name" "${rate[0]}" "${rate[1]}" \
            "${rate[2]}" "$(ratio "${rate[0]}" "${rate[1]}")" "$(ratio "${rate[0]}" "${rate[2]}")" "$line"
        unset rate
    done
done

echo "== medians of $rounds rounds (requests per second) =="
printf "%-20s %12s %14s %12s %8s %8s\n" case squid "Traffic Server" Quillmere Q/TS Q/squid
median() {   # median CASE PROXY
    awk -v c="$1" -v p="$2" '$2 == c && $3 == p { print $4 }' "$results" | sort -g |
        awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2];
                                  else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
declare -A med=()
held_ts=held
for c in "${cases[@]}"; do
    read -r name _ _ <<<"$c"
    for p in "${names[@]}"; do
        med[$name,$p]=$(median "$name" "$p")
    done
    q_ts=$(ratio "${med[$name,daemon]}" "${med[$name,ats]}")
    printf "%-20s %12s %14s %12s %8s %8s\n" "$name" "${med[$name,squid]}" "${med[$name,ats]}" \
        "${med[$name,daemon]}" "$q_ts" "$(ratio "${med[$name,daemon]}" "${med[$name,squid]}")"
    awk -v r="$q_ts" 'BEGIN { exit !(r != "-" && r >= 0.8) }' || held_ts=missed
done
hit_miss=$(ratio "${med[cached-1k,daemon]}" "${med[uncached-1k,daemon]}")
held_hit=missed
awk -v r="$hit_miss" 'BEGIN { exit !(r != "-" && r >= 2) }' && held_hit=held
echo "cached/uncached 1k (Quillmere): $hit_miss; 100k: $(ratio "${med[cached-100k,daemon]}" "${med[uncached-100k,daemon]}")"
echo "== targets =="
echo "Quillmere at least 0.8x Traffic Server in every case: target $held_ts"
echo "a 1 KiB hit at least 2x a 1 KiB miss: target $held_hit"
last_case=${cases[-1]%% *}
echo "== resident memory after round $rounds against round 1 (after its last case; target within 10%) =="
for p in "${names[@]}"; do
    first=$(awk -v c="$last_case" -v p="$p" '$1 == 1 && $2 == c && $3 == p { print $5 }' "$results")
    last=$(awk -v r="$rounds" -v c="$last_case" -v p="$p" '$1 == r && $2 == c && $3 == p { print $5 }' "$results")
    printf "%-8s %10s KiB -> %10s KiB  %s\n" "$p" "$first" "$last" "$(ratio "$last" "$first")"
done
echo "hits in the access logs: daemon $(grep -c TCP_HIT "$work/access.log" || true)," \
     "squid $(grep -c -E "TCP_(MEM_)?HIT" "$work/squid/access.log" || true)," \
     "Traffic Server $(traffic_logcat "$ats/log/squid.blog" 2>/dev/null | grep -c -E "TCP_(MEM_)?HIT" || true)"
echo "access-log lines: daemon $(wc -l <"$work/access.log"), squid $(wc -l <"$work/squid/access.log")"
fi
# Hostile load, unless BENCH_HOSTILE=0: a daemon of its own, with the shipped
# options and then with -t 1024. wrk measures uncached 1 KiB requests before,
# during and after a flood of 2,000 slow clients (each has sent part of a
# request line and then nothing) plus 2,000 idle kept-alive clients (each
# had one answer and then stays silent). Printed: the rate during the flood
# as a ratio of the mean of the runs before and after it (goal at least
# 0.8, and no failed request), the resident memory and thread count after
# the warm-up run, at the flood's peak (goal under 32 KiB per flood
# connection above the warm-up value) and 30 seconds after the header
# deadline (the general rule's timeout, HOSTILE_DEADLINE, 60 s shipped;
# goal within 10% or 8 MiB of the warm-up value, no flood worker left).
hostile_flood() {   # hostile_flood PORT TARGET-URL SLOW IDLE SECONDS DEADLINE KEEPTIMEOUT
    python3 - "$@" <<'PYEOF'
import selectors, socket, sys, time
port, target, slow, idle, seconds = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5])
deadline, keeptimeout = float(sys.argv[6]), float(sys.argv[7])
held, failed = {}, 0   # socket -> (kind, when its wait began)
for _ in range(slow):
    try:
        c = socket.create_connection(("127.0.0.1", port), timeout=10)
        c.sendall(b"GET http://")
        held[c] = ("slow", time.monotonic())
    except OSError:
        failed += 1
request = ("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % target).encode()
for _ in range(idle):
    try:
        c = socket.create_connection(("127.0.0.1", port), timeout=10)
        c.sendall(request)
        got = b""
        while b"\r\n\r\n" not in got:
            chunk = c.recv(65536)
            if not chunk:
                raise OSError("closed")
            got += chunk
        head, _, body = got.partition(b"\r\n\r\n")
        length = 0
        for line in head.split(b"\r\n"):
            if line.lower().startswith(b"content-length:"):
                length = int(line.split(b":")[1])
        while len(body) < length:
            chunk = c.recv(65536)
            if not chunk:
                raise OSError("closed")
            body += chunk
        held[c] = ("idle", time.monotonic())
    except OSError:
        failed += 1
print("flood: %d connections held, %d refused or failed" % (len(held), failed), flush=True)
# Watch every held connection until the time is up: one the daemon closes
# before its wait ran out (the header deadline for a slow one, keeptimeout
# for an idle one) is closed early; one closed after it, on time.
sel = selectors.DefaultSelector()
for c in held:
    c.setblocking(False)
    sel.register(c, selectors.EVENT_READ)
early = {"slow": 0, "idle": 0}
on_time = {"slow": 0, "idle": 0}
end = time.monotonic() + seconds
while held and time.monotonic() < end:
    for key, _ in sel.select(timeout=max(0.0, min(1.0, end - time.monotonic()))):
        c = key.fileobj
        try:
            data = c.recv(4096)
        except BlockingIOError:
            continue
        except OSError:
            data = b""
        if data:
            continue
        kind, since = held.pop(c)
        sel.unregister(c)
        c.close()
        limit = deadline if kind == "slow" else keeptimeout
        (early if time.monotonic() - since < limit - 1 else on_time)[kind] += 1
print("flood: closed by the daemon before their time: %d slow, %d idle (goal 0); at their time: %d slow, %d idle"
      % (early["slow"], early["idle"], on_time["slow"], on_time["idle"]), flush=True)
PYEOF
}
threads_of() {   # threads_of PID -> the process's thread count
    awk '/^Threads/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0
}
if [ "${BENCH_HOSTILE:-1}" != 0 ]; then
    deadline=${HOSTILE_DEADLINE:-60}
    keeptimeout=$(sed -n 's|.*<keeptimeout>\([0-9]*\)</keeptimeout>.*|\1|p' etc/quillmere.xml | head -1)
    target="http://127.0.0.1:$origin_port/1k.bin"
    echo "== hostile load: 2,000 slow and 2,000 idle kept-alive clients while wrk measures 1 KiB misses =="
    for variant in shipped "-t 1024"; do
        hport=$(free_port)
        sed -e "s|<port>8080</port>|<port>$hport</port>|" -e "s|/var/cache/quillmere|$work/hostile-cache|" \
            etc/quillmere.xml >"$work/hostile.xml"
        extra=()
        [ "$variant" = shipped ] || extra=($variant)
        start_daemon hostile -c "$work/hostile.xml" -s "$root/etc/section.xml" -l "$work/hostile-native.log" \
            -a "$work/hostile-access.log" -e "$work/hostile-extended.log" -r "$work/hostile-perf.log" \
            "${extra[@]}"
        hpid=$daemon_pid
        wait_port "$hport"
        run "$hport" "$target" >/dev/null          # warm-up
        warm_rss=$(rss_kib "$hpid"); warm_threads=$(threads_of "$hpid")
        before=$(run "$hport" "$target")
        flood_start=$(date +%s)
        hostile_flood "$hport" "$target" 2000 2000 $((seconds + 5)) "$deadline" "$keeptimeout" >"$work/flood.out" 2>&1 &
        fpid=$!
        # wrk starts once the flood is held in full (or after a minute).
        for _ in $(seq 1 600); do
            grep -q "connections held" "$work/flood.out" && break
            sleep 0.1
        done
        during=$(run "$hport" "$target" 2>"$work/flood-errors")
        peak_rss=$(rss_kib "$hpid"); peak_threads=$(threads_of "$hpid")
        wait "$fpid" || true
        after=$(run "$hport" "$target")
        late=$((flood_start + deadline + 30 - $(date +%s)))
        [ "$late" -le 0 ] || sleep "$late"
        late_rss=$(rss_kib "$hpid"); late_threads=$(threads_of "$hpid")
        mean=$(awk -v a="$before" -v b="$after" 'BEGIN { printf "%.0f", (a + b) / 2 }')
        echo "-- daemon, $variant options"
        cat "$work/flood.out"
        printf "rate before %s, during %s, after %s: during/mean %s (goal >= 0.80)\n" \
            "$before" "$during" "$after" "$(ratio "$during" "$mean")"
        if [ -s "$work/flood-errors" ]; then cat "$work/flood-errors"; else echo "no failed request during the flood"; fi
        printf "resident KiB: warm-up %s, peak %s (%s KiB per flood connection, goal < 32), 30 s after the deadline %s (%s of warm-up, goal within 10%% or 8 MiB: %s)\n" \
            "$warm_rss" "$peak_rss" "$(awk -v a="$peak_rss" -v b="$warm_rss" 'BEGIN { printf "%.1f", (a - b) / 4000 }')" \
            "$late_rss" "$(ratio "$late_rss" "$warm_rss")" \
            "$(awk -v a="$late_rss" -v b="$warm_rss" 'BEGIN { d = a - b; if (d < 0) d = -d; m = b / 10; if (m < 8192) m = 8192; print (d <= m) ? "met" : "NOT met" }')"
        printf "threads: warm-up %s, peak %s, 30 s after the deadline %s (goal: no flood worker left, at most the warm-up's)\n" \
            "$warm_threads" "$peak_threads" "$late_threads"
        echo "descriptor, table-full and accept lines: $(grep -c -E "failure opening file descriptor|thread table full|failed to accept" "$work/hostile-native.log" || true)"
        kill "$hpid" 2>/dev/null || true
        for _ in $(seq 1 100); do kill -0 "$hpid" 2>/dev/null || break; sleep 0.1; done
        rm -rf "$work/hostile-cache"
    done
fi
[ "${BENCH_ONLY:-}" = hostile ] && exit 0


# FTP: one 100 MB file from pyftpdlib (anonymous, passive ports left to the
# kernel) through the daemon's FTP gateway and through squid's, each fetched
# three times without its cache (the daemon with "fresh", squid with
# Cache-Control: no-cache); the best time of each and the ratio are printed.
if /usr/bin/python3 -c "import pyftpdlib" 2>/dev/null; then
    ftp_port=$(free_port)
    mkdir -p "$work/ftp"
    head -c 100000000 /dev/urandom >"$work/ftp/big.bin"
    /usr/bin/python3 -m pyftpdlib -i 127.0.0.1 -p "$ftp_port" -d "$work/ftp" >"$work/ftp.log" 2>&1 &
    pids+=($!)
    wait_port "$ftp_port"
    ftp_best() {   # ftp_best PROXY-PORT URL [curl args] -> best MB/s of three
        local best=0 t
        for _ in 1 2 3; do
            t=$(curl -s -o /dev/null -w "%{speed_download}" --max-time 300 -x "127.0.0.1:$1" "${@:3}" "$2")
            best=$(awk -v a="$t" -v b="$best" 'BEGIN { print (a > b ? a : b) }')
        done
        awk -v s="$best" 'BEGIN { printf "%.1f", s / 1000000 }'
    }
    fp=$(ftp_best "$proxy_port" "ftp://xx--fresh.127.0.0.1:$ftp_port/big.bin")
    fs=$(ftp_best "$squid_port" "ftp://127.0.0.1:$ftp_port/big.bin" -H "Cache-Control: no-cache")
    echo "== FTP: 100 MB file from pyftpdlib =="
    printf "%-10s %12s %12s %10s\n" file "daemon MB/s" "squid MB/s" daemon/squid
    printf "%-10s %12s %12s %10s\n" 100M "$fp" "$fs" "$(ratio "$fp" "$fs")"
else
    echo "== FTP: skipped (python3-pyftpdlib is not installed) =="
fi

[ "${BENCH_ONLY:-}" = compare ] && exit 0

# The request checks: a second daemon with the URL filter (one deny rule
# that matches nothing), the DNS blacklist (switched on, no zone: no query)
# and the URL blacklist with one generated category of 1,000,000 domains and
# a deny rule naming it. Prints the blacklist's load time, the memory it
# adds, and the uncached 1 KiB rate with the checks on, off (the first
# daemon) and of squid.
echo "== request checks: URL filter, DNS blacklist (no zone), URL blacklist of 1,000,000 domains =="
checks_port=$(free_port)
mkdir -p "$work/blacklist/bench"
awk 'BEGIN { for (i = 0; i < 1000000; i++) printf "d%07d.example.com\n", i }' \
    >"$work/blacklist/bench/domains"
python3 - "$work/quillmere.xml" "$work/checks.xml" "$proxy_port" "$checks_port" "$work/blacklist" <<'PYEOF'
import re, sys
src, dst, old_port, new_port, tree = sys.argv[1:]
text = open(src).read().replace("<port>%s</port>" % old_port, "<port>%s</port>" % new_port)
rule = ("<deny><enabled>true</enabled><comment>bench</comment><profiles></profiles>"
        "<host>^never\\.invalid$</host><path></path><addresses></addresses><template></template></deny>")
sections = {
    "url-filtering": "<enabled>true</enabled><allow-first>false</allow-first><template></template>" + rule,
    "dnsbl": "<enabled>true</enabled><template></template><zone></zone><addresses>127.0.0.2</addresses>",
    "urlblacklist": ("<enabled>true</enabled><allow-first>false</allow-first><directory>%s</directory>"
                     "<template></template><deny><enabled>true</enabled><comment>bench</comment>"
                     "<profiles></profiles><categories>bench</categories><template></template></deny>" % tree),
}
for name, body in sections.items():
    text, n = re.subn(r"<%s>.*?</%s>" % (name, name), "<%s>%s</%s>" % (name, body, name), text, flags=re.S)
    assert n == 1, name
open(dst, "w").write(text)
PYEOF
checks_args=(-f -c "$work/checks.xml" -s etc/section.xml -l "$work/checks-native.log"
             -a "$work/checks-access.log" -e "$work/checks-extended.log" -r "$work/checks-performance.log"
             -C 10 ${QUILL_BENCH_ARGS:-})
start_ns=$(date +%s%N)
"$bin" "${checks_args[@]}" >"$work/checks.out" 2>&1 &
checks_pid=$!
pids+=($checks_pid)
for _ in $(seq 1 600); do
    grep -q "URL blacklist: loaded" "$work/checks-native.log" 2>/dev/null && break
    sleep 0.05
done
loaded_ns=$(date +%s%N)
wait_port "$checks_port"
grep "URL blacklist:" "$work/checks-native.log" | head -3
off_kib=$(awk '/^VmRSS/ {print $2}' "/proc/$proxy_pid/status")
on_kib=$(awk '/^VmRSS/ {print $2}' "/proc/$checks_pid/status")
echo "blacklist load (start to \"loaded\"): $(( (loaded_ns - start_ns) / 1000000 )) ms"
echo "daemon memory: checks on $on_kib KiB, checks off $off_kib KiB, the blacklist adds $(( (on_kib - off_kib) / 1024 )) MiB"
url="http://127.0.0.1:$origin_port/1k.bin"
curl -s -o /dev/null -x "127.0.0.1:$checks_port" "$url"
blocked=$(curl -s -o /dev/null -w "%{http_code}" -x "127.0.0.1:$checks_port" "http://d0999999.example.com/")
echo "a listed domain through the checks: $blocked ($(grep -c "match found in bench" "$work/checks-native.log") match line)"
on=$(run "$checks_port" "$url")
off=$(run "$proxy_port" "$url")
sq=$(run "$squid_port" "$url")
printf "%-10s %14s %14s %14s %10s %10s\n" size "checks on" "checks off" squid on/off on/squid
printf "%-10s %14s %14s %14s %10s %10s\n" 1k "$on" "$off" "$sq" \
    "$(awk -v a="$on" -v b="$off" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')" \
    "$(awk -v a="$on" -v b="$sq" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')"
echo "daemon memory with the checks after the run: $(awk '/^VmRSS/ {print $2 " KiB"}' "/proc/$checks_pid/status")"

# Cache hits while the cache browser searches, in one run: four clients
# search in a loop, each search walking every bucket of the index with the
# cache lock held, which every hit also takes.
echo "== cache hits of 1k with and without cache browser searches (4 searching clients) =="
url="http://127.0.0.1:$origin_port/hit/1k.bin"
quiet=$(run "$proxy_port" "$url")
: >"$work/searches"
loops=()
for _ in 1 2 3 4; do
    (
        while :; do
            curl -s -o /dev/null -x "127.0.0.1:$proxy_port" -H "Referer: http://quill.invalid/" \
                --data "show=yes&mbyear=2037&abyear=2037&pattern=1k" "http://quill.invalid/cache"
            echo >>"$work/searches"
        done
    ) &
    loops+=($!)
    pids+=($!)
done
busy=$(run "$proxy_port" "$url")
for p in "${loops[@]}"; do
    kill "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
done
searches=$(wc -l <"$work/searches")
printf "%-24s %14s\n" "hits/s without searches" "$quiet"
printf "%-24s %14s\n" "hits/s with searches" "$busy"
printf "%-24s %14s\n" "searches/s" "$(awk -v n="$searches" -v s="$seconds" 'BEGIN { printf "%.1f", n / s }')"
printf "%-24s %14s\n" "with/without" "$(awk -v a="$busy" -v b="$quiet" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')"

# Virus scanning: uncached 100 KiB responses scanned by one clamd (its own
# configuration and a one-signature database; nothing is downloaded),
# through a daemon with the ClamAV adapter on and through squid handing each
# response to c-icap's virus_scan service on the same clamd.
echo "== virus scanning: 100 KiB misses, one clamd; daemon (ClamAV adapter) vs squid + c-icap virus_scan =="
scan_port=$(free_port)
icap_port=$(free_port)
squid_icap_port=$(free_port)
mkdir -p "$work/clamd/db" "$work/cicap/tmp" "$work/squid-icap"
echo "Quillmere.Bench:0:*:$(printf 'QUILLMERE-BENCH-MARKER' | od -An -tx1 | tr -d ' \n')" \
    >"$work/clamd/db/bench.ndb"
cat >"$work/clamd/clamd.conf" <<CONF
Foreground yes
LocalSocket $work/clamd/clamd.sock
DatabaseDirectory $work/clamd/db
LogFile $work/clamd/clamd.log
PidFile $work/clamd/clamd.pid
MaxThreads 16
MaxQueue 200
Bytecode no
$( [ "$(id -u)" -eq 0 ] && echo "User root" )
CONF
cat >"$work/cicap/c-icap.conf" <<CONF
PidFile $work/cicap/c-icap.pid
CommandsSocket $work/cicap/c-icap.ctl
Port 127.0.0.1:$icap_port
StartServers 1
MaxServers 2
MinSpareThreads 8
MaxSpareThreads 32
ThreadsPerChild 64
MaxRequestsPerChild 0
ServerLog $work/cicap/server.log
AccessLog $work/cicap/access.log
TmpDir $work/cicap/tmp
ModulesDir /usr/lib/x86_64-linux-gnu/c_icap
ServicesDir /usr/lib/x86_64-linux-gnu/c_icap
$( [ "$(id -u)" -eq 0 ] && printf 'User root\nGroup root\n' )
Module common clamd_mod.so
clamd_mod.ClamdSocket $work/clamd/clamd.sock
Service antivirus_module virus_scan.so
ServiceAlias avscan virus_scan?allow204=on&sizelimit=off&mode=simple
virus_scan.ScanFileTypes TEXT DATA EXECUTABLE ARCHIVE GIF JPEG MSOFFICE
virus_scan.MaxObjectSize 5M
virus_scan.DefaultEngine clamd
Service echo srv_echo.so
CONF
cat >"$work/squid-icap/squid.conf" <<CONF
http_port 127.0.0.1:$squid_icap_port
acl localnet src 127.0.0.1
http_access allow localnet
http_access deny all
cache deny all
workers 1
access_log stdio:$work/squid-icap/access.log
cache_log $work/squid-icap/cache.log
pid_filename $work/squid-icap/squid.pid
coredump_dir $work/squid-icap
icap_enable on
icap_service scan respmod_precache icap://127.0.0.1:$icap_port/virus_scan bypass=off
adaptation_access scan allow all
CONF
[ "$(id -u)" -eq 0 ] && chown -R proxy "$work/squid-icap"
python3 - "$work/quillmere.xml" "$work/scan.xml" "$proxy_port" "$scan_port" "$work/clamd/clamd.sock" <<'PYEOF'
import re, sys
src, dst, old_port, new_port, sock = sys.argv[1:]
text = open(src).read().replace("<port>%s</port>" % old_port, "<port>%s</port>" % new_port)
body = ("<enabled>true</enabled><address>%s</address><port>0</port><template></template>"
        "<rule><enabled>true</enabled><comment>bench</comment><profiles></profiles>"
        "<template></template></rule>" % sock)
text, n = re.subn(r"<clamav>.*?</clamav>", "<clamav>%s</clamav>" % body, text, flags=re.S)
assert n == 1
open(dst, "w").write(text)
PYEOF
/usr/sbin/clamd -c "$work/clamd/clamd.conf" >"$work/clamd/stdout" 2>&1 &
pids+=($!)
for _ in $(seq 1 300); do [ -S "$work/clamd/clamd.sock" ] && break; sleep 0.1; done
c-icap -N -f "$work/cicap/c-icap.conf" >"$work/cicap/stdout" 2>&1 &
pids+=($!)
"$squid_bin" -n "quillbenchi$$" -N -f "$work/squid-icap/squid.conf" >"$work/squid-icap/stdout" 2>&1 &
pids+=($!)
scan_args=(-f -c "$work/scan.xml" -s etc/section.xml -l "$work/scan-native.log"
           -a "$work/scan-access.log" -e "$work/scan-extended.log" -r "$work/scan-performance.log"
           ${QUILL_BENCH_ARGS:-})
"$bin" "${scan_args[@]}" >"$work/scan.out" 2>&1 &
pids+=($!)
wait_port "$icap_port"
wait_port "$squid_icap_port"
wait_port "$scan_port"
echo "== clamd, c-icap and squid (ICAP) configurations =="
cat "$work/clamd/clamd.conf" "$work/cicap/c-icap.conf" "$work/squid-icap/squid.conf"
url="http://127.0.0.1:$origin_port/100k.bin"
curl -s -o /dev/null -x "127.0.0.1:$scan_port" "$url"
curl -s -o /dev/null --max-time 20 -x "127.0.0.1:$squid_icap_port" "$url"
p=$(run "$scan_port" "$url")
s=$(run "$squid_icap_port" "$url")
printf "%-10s %14s %14s %10s\n" size "daemon+clamd" "squid+c-icap" daemon/squid
printf "%-10s %14s %14s %10s\n" 100k "$p" "$s" \
    "$(awk -v a="$p" -v b="$s" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')"
echo "daemon scan failures $(grep -c "failed to check file" "$work/scan-native.log" || true);" \
    "c-icap requests $(wc -l <"$work/cicap/access.log" 2>/dev/null || echo 0)"

# ICAP: uncached 100 KiB responses through c-icap's echo service (the same
# c-icap) in RESPMOD, from a daemon with one ICAP service and from a squid
# with one respmod_precache service; the ratio of the two rates.
echo "== ICAP: 100 KiB misses through c-icap's echo in RESPMOD; daemon vs squid =="
icapd_port=$(free_port)
squid_echo_port=$(free_port)
mkdir -p "$work/squid-echo"
sed -e "s|^http_port .*|http_port 127.0.0.1:$squid_echo_port|" \
    -e "s|squid-icap|squid-echo|g" \
    -e "s|^icap_service .*|icap_service echo respmod_precache icap://127.0.0.1:$icap_port/echo bypass=off|" \
    -e "s|^adaptation_access .*|adaptation_access echo allow all|" \
    "$work/squid-icap/squid.conf" >"$work/squid-echo/squid.conf"
[ "$(id -u)" -eq 0 ] && chown -R proxy "$work/squid-echo"
python3 - "$work/quillmere.xml" "$work/icap.xml" "$proxy_port" "$icapd_port" "$icap_port" <<'PYEOF'
import re, sys
src, dst, old_port, new_port, icap_port = sys.argv[1:]
text = open(src).read().replace("<port>%s</port>" % old_port, "<port>%s</port>" % new_port)
body = ("<enabled>true</enabled><service><enabled>true</enabled><comment>bench</comment>"
        "<profiles></profiles><host>127.0.0.1</host><path>/echo</path><port>%s</port>"
        "<modes>respmod</modes></service>" % icap_port)
text, n = re.subn(r"<icap>.*?</icap>", "<icap>%s</icap>" % body, text, flags=re.S)
assert n == 1
open(dst, "w").write(text)
PYEOF
"$squid_bin" -n "quillbenche$$" -N -f "$work/squid-echo/squid.conf" >"$work/squid-echo/stdout" 2>&1 &
pids+=($!)
icap_args=(-f -c "$work/icap.xml" -s etc/section.xml -l "$work/icap-native.log"
           -a "$work/icap-access.log" -e "$work/icap-extended.log" -r "$work/icap-performance.log"
           ${QUILL_BENCH_ARGS:-})
"$bin" "${icap_args[@]}" >"$work/icap.out" 2>&1 &
pids+=($!)
wait_port "$squid_echo_port"
wait_port "$icapd_port"
echo "== squid (ICAP echo) configuration =="
cat "$work/squid-echo/squid.conf"
curl -s -o /dev/null -x "127.0.0.1:$icapd_port" "$url"
curl -s -o /dev/null --max-time 20 -x "127.0.0.1:$squid_echo_port" "$url"
p=$(run "$icapd_port" "$url")
s=$(run "$squid_echo_port" "$url")
printf "%-10s %14s %14s %10s\n" size "daemon+echo" "squid+echo" daemon/squid
printf "%-10s %14s %14s %10s\n" 100k "$p" "$s" "$(ratio "$p" "$s")"
echo "daemon ICAP responses modified $(grep -c "ICAP: response modified" "$work/icap-native.log" || true)," \
     "ICAP failures $(grep -c -E "ICAP: (error|unable)" "$work/icap-native.log" || true)"
if [ -n "${held_ts:-}" ]; then
    echo "== targets (from the comparison above) =="
    echo "Quillmere at least 0.8x Traffic Server in every case: target $held_ts"
    echo "a 1 KiB hit at least 2x a 1 KiB miss: target $held_hit"
fi
