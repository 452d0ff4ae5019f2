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
# squid's. After that, unless BENCH_ONLY=compare: the filtering part
# (BENCH_ONLY=filtering runs only it): daemons with 1,000 URL-filter + 200
# header + 200 MIME rules and with 10,000 URL-filter rules against the
# rule-free daemon and squid given the same expressions, and a daemon with
# the request checks (URL filter, DNS blacklist, a URL blacklist of
# 1,000,000 domains) against the same daemon without the list;
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
# The filtering part alone has no use for Traffic Server.
ats_pid=
if [ "${BENCH_ONLY:-}" != filtering ]; then
    "$ats_bin" --run-root="$ats/runroot.yaml" >"$ats/stdout" 2>&1 &
    ats_pid=$!
    pids+=($ats_pid)
fi
wait_port "$origin_port"
wait_port "$proxy_port"
wait_port "$squid_port"
if [ -n "$ats_pid" ]; then
    wait_port "$ats_port"
    # Traffic Server listens before its cache is up: wait for it.
    for _ in $(seq 1 300); do
        grep -q "fully initialized" "$ats/log/diags.log" 2>/dev/null && break
        sleep 0.1
    done
fi

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
     "Traffic Server $(rss_kib "$ats_pid") KiB"

# Warm every path (connections, pools, page cache) and store the cached
# objects in each cache: the second fetch of /hit/ is a hit everywhere.
for port in "$proxy_port" "$squid_port" ${ats_pid:+"$ats_port"}; do
    for f in 1k.bin 100k.bin hit/1k.bin hit/100k.bin hit/1k.bin hit/100k.bin; do
        curl -s -o /dev/null -x "127.0.0.1:$port" "http://127.0.0.1:$origin_port/$f"
    done
done

# BENCH_ONLY=hostile goes straight to the hostile-load case.
if [ "${BENCH_ONLY:-}" != hostile ] && [ "${BENCH_ONLY:-}" != filtering ]; then
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
if [ "${BENCH_HOSTILE:-1}" != 0 ] && [ "${BENCH_ONLY:-}" != filtering ]; then
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
if [ "${BENCH_ONLY:-}" = filtering ]; then
    :
elif /usr/bin/python3 -c "import pyftpdlib" 2>/dev/null; then
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

# Filtering: rule sets and a URL blacklist, against daemons of their own
# started from the shipped configuration (so that only the rules differ):
#   - rule-free: the shipped sections, no rules;
#   - "1k": 1,000 URL-filter, 200 header and 200 MIME deny rules;
#   - "10k": 10,000 URL-filter deny rules;
#   - squid with the 1k set's expressions (one dstdom_regex and one
#     urlpath_regex ACL holding the URL-filter expressions, one
#     request_header_access line per header rule, one rep_mime_type ACL for
#     the MIME expressions), beside the rule-free squid above.
# The rules are school-list shapes (host suffixes, host and path pieces, a
# few expressions with groups and classes) and match none of the measured
# requests, so every rule is tried and every request passes. Each daemon
# answers one request through its rules, then a short unmeasured run over
# 400 connections, before the load. Then uncached
# 1 KiB misses over 100 connections, every daemon in each round (the order
# rotates), BENCH_ROUNDS rounds; the 10k and the rule-free daemons also
# over 400 connections, counting wrk's time-outs. Then the URL blacklist: a daemon with the URL
# filter, the DNS blacklist (no zone: no query) and a URL blacklist of one
# generated category of 1,000,000 domains, beside the same daemon without
# the list: start to first answer, the memory the list adds (resident
# memory of the two after their first answer) and the rate with the list.
# Prints "target held" or "target missed" for each target; asserts nothing.
echo "== filtering: rule sets (1,000 + 200 + 200 and 10,000 rules) and a URL blacklist of 1,000,000 domains =="
filter_conns=100
filter_many=400
rfree_port=$(free_port); r1k_port=$(free_port); r10k_port=$(free_port); squid_rules_port=$(free_port)
mkdir -p "$work/squid-rules"
python3 - "$work" "$proxy_port" "$rfree_port" "$r1k_port" "$r10k_port" "$squid_rules_port" <<'PYEOF'
import re, sys
work, old_port, free_port, r1k_port, r10k_port, squid_port = sys.argv[1:]
base = open(work + "/quillmere.xml").read()

def url_rules(count):
    """(host, path) expressions, none matching the measured requests."""
    out = []
    for i in range(count):
        kind = i % 10
        if kind < 5:
            out.append(("(^|\\.)site%05d\\.example$" % i, ""))
        elif kind < 7:
            out.append(("^ads%05d\\.cdn\\." % i, ""))
        elif kind < 9:
            out.append(("", "^/ads/banner%05d/" % i))
        else:
            out.append(("", "/track%05d\\.(gif|png)$" % i))
    return out

def section(text, name, body):
    text, n = re.subn(r"<%s>.*?</%s>" % (name, name), "<%s>%s</%s>" % (name, body, name), text, flags=re.S)
    assert n == 1, name
    return text

def config(port, urls, headers, mimes):
    text = base.replace("<port>%s</port>" % old_port, "<port>%s</port>" % port)
    body = "<enabled>true</enabled><allow-first>false</allow-first><template></template>"
    for i, (host, path) in enumerate(urls):
        body += ("<deny><enabled>true</enabled><comment>u%d</comment><profiles></profiles><host>%s</host>"
                 "<path>%s</path><addresses></addresses><template></template></deny>" % (i, host, path))
    text = section(text, "url-filtering", body)
    body = "<enabled>true</enabled><allow-first>false</allow-first>"
    for i in range(headers):
        body += ("<deny><enabled>true</enabled><comment>h%d</comment><profiles></profiles>"
                 "<name>^X-Tracker-%03d$</name><value></value><direction>client,server</direction></deny>" % (i, i))
    text = section(text, "header-filtering", body)
    body = "<enabled>true</enabled><allow-first>false</allow-first><template></template>"
    for i in range(mimes):
        body += ("<deny><enabled>true</enabled><comment>m%d</comment><profiles></profiles><host></host>"
                 "<path></path><mime-type>^application/x-blocked-%03d</mime-type><template></template></deny>" % (i, i))
    return section(text, "mime-filtering", body)

open(work + "/free.xml", "w").write(config(free_port, [], 0, 0))
open(work + "/r1k.xml", "w").write(config(r1k_port, url_rules(1000), 200, 200))
open(work + "/r10k.xml", "w").write(config(r10k_port, url_rules(10000), 0, 0))

# squid: the 1k set's expressions, each kind in one ACL.
urls = url_rules(1000)
open(work + "/squid-rules/hosts", "w").write("".join(h + "\n" for h, _ in urls if h))
open(work + "/squid-rules/paths", "w").write("".join(p + "\n" for _, p in urls if p))
open(work + "/squid-rules/mimes", "w").write("".join("^application/x-blocked-%03d\n" % i for i in range(200)))
squid = open(work + "/squid/squid.conf").read()
squid = re.sub(r"http_port .*", "http_port 127.0.0.1:%s" % squid_port, squid)
squid = squid.replace(work + "/squid/", work + "/squid-rules/")
rules = ('acl bench_hosts dstdom_regex -i "%s/squid-rules/hosts"\n'
         'acl bench_paths urlpath_regex -i "%s/squid-rules/paths"\n'
         'acl bench_mimes rep_mime_type -i "%s/squid-rules/mimes"\n'
         'http_access deny bench_hosts\nhttp_access deny bench_paths\n'
         'http_reply_access deny bench_mimes\n' % (work, work, work))
rules += "".join("request_header_access X-Tracker-%03d deny all\n" % i for i in range(200))
squid = squid.replace("acl localnet src 127.0.0.1\n", "acl localnet src 127.0.0.1\n" + rules)
open(work + "/squid-rules/squid.conf", "w").write(squid)
PYEOF
[ "$(id -u)" -eq 0 ] && chown -R proxy "$work/squid-rules"
filter_daemon() {   # filter_daemon NAME -> starts the daemon of $work/NAME.xml, prints its pid
    "$bin" -f -c "$work/$1.xml" -s etc/section.xml -l "$work/$1-native.log" -a "$work/$1-access.log" \
        -e "$work/$1-extended.log" -r "$work/$1-performance.log" -C 10 ${QUILL_BENCH_ARGS:-} \
        >"$work/$1.out" 2>&1 &
    echo $!
}
free_pid=$(filter_daemon free); pids+=($free_pid)
r1k_pid=$(filter_daemon r1k); pids+=($r1k_pid)
r10k_pid=$(filter_daemon r10k); pids+=($r10k_pid)
"$squid_bin" -n "quillbenchr$$" -N -f "$work/squid-rules/squid.conf" >"$work/squid-rules/stdout" 2>&1 &
squid_rules_pid=$!
pids+=($squid_rules_pid)
for p in "$rfree_port" "$r1k_port" "$r10k_port" "$squid_rules_port"; do wait_port "$p"; done
url="http://127.0.0.1:$origin_port/1k.bin"
for p in "$rfree_port" "$r1k_port" "$r10k_port" "$squid_port" "$squid_rules_port"; do
    curl -s -o /dev/null -x "127.0.0.1:$p" -H "X-Tracker-Not: 1" "$url"
done
echo "a request to a listed host (site00000.example): 1k daemon $(curl -s -o /dev/null -w "%{http_code}" -x "127.0.0.1:$r1k_port" "http://site00000.example/" || true)," \
     "\"blocked\" lines $(grep -c "url filter: blocked" "$work/r1k-native.log" || true);" \
     "squid $(curl -s -o /dev/null -w "%{http_code}" -x "127.0.0.1:$squid_rules_port" "http://site00000.example/" || true)"

# Every daemon has its workers started before the load: a short run over
# the larger number of connections, not counted.
for p in "$rfree_port" "$r1k_port" "$r10k_port" "$squid_port" "$squid_rules_port"; do
    TARGET="$url" wrk -t "$threads" -c "$filter_many" -d 3s -s "$work/proxy.lua" "http://127.0.0.1:$p/" >/dev/null 2>&1 || true
done

run_full() {   # run_full PORT TARGET-URL CONNECTIONS -> "rate time-outs"
    local out
    out=$(TARGET="$2" wrk -t "$threads" -c "$3" -d "${seconds}s" -s "$work/proxy.lua" "http://127.0.0.1:$1/")
    echo "$(echo "$out" | awk '/^Requests\/sec/ {print $2}') $(echo "$out" | awk '/Socket errors/ {for (i = 1; i <= NF; i++) if ($i == "timeout") print $(i + 1)}' | tr -d ,)"
}
fnames=(free 1k 10k free-c$filter_many 10k-c$filter_many squid squid-1k)
fports=("$rfree_port" "$r1k_port" "$r10k_port" "$rfree_port" "$r10k_port" "$squid_port" "$squid_rules_port")
fconns=($filter_conns $filter_conns $filter_conns $filter_many $filter_many $filter_conns $filter_conns)
fresults=$work/filter-results   # round name rate timeouts
: >"$fresults"
printf "%-6s" round; printf " %12s" "${fnames[@]}"; echo
for round in $(seq 1 "$rounds"); do
    declare -A frate=()
    n=${#fnames[@]}
    for k in $(seq 0 $((n - 1))); do
        i=$(( (k + round - 1) % n ))
        read -r r t <<<"$(run_full "${fports[$i]}" "$url" "${fconns[$i]}")"
        echo "$round ${fnames[$i]} ${r:-0} ${t:-0}" >>"$fresults"
        frate[$i]="${r:-0}/${t:-0}"
    done
    printf "%-6s" "$round"
    for i in $(seq 0 $((n - 1))); do printf " %12s" "${frate[$i]}"; done
    echo "   (rate/time-outs)"
    unset frate
done
fmedian() {   # fmedian NAME FIELD -> median of the field (3 rate, 4 time-outs)
    awk -v c="$1" -v f="$2" '$2 == c { print $f }' "$fresults" | sort -g |
        awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2];
                                  else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
ftotal() {   # ftotal NAME -> time-outs over every round
    awk -v c="$1" '$2 == c { s += $4 } END { print s + 0 }' "$fresults"
}
held() {   # held CONDITION-TEXT(0/1) -> "target held" / "target missed"
    [ "$1" = 1 ] && echo "target held" || echo "target missed"
}
echo "== filtering: medians of $rounds rounds (uncached 1 KiB, $filter_conns connections unless named) =="
for nm in "${fnames[@]}"; do
    printf "%-12s %12s req/s, time-outs in all rounds %s\n" "$nm" "$(fmedian "$nm" 3)" "$(ftotal "$nm")"
done
m_free=$(fmedian free 3); m_1k=$(fmedian 1k 3); m_10k=$(fmedian 10k 3)
r=$(ratio "$m_1k" "$m_free")
echo "1,000 URL-filter + 200 header + 200 MIME rules: $r of the rule-free rate (target 0.80): $(held "$(awk -v r="$r" 'BEGIN { print (r != "-" && r >= 0.8) }')")"
r=$(ratio "$m_10k" "$m_free")
echo "10,000 URL-filter rules: $r of the rule-free rate (target 0.50): $(held "$(awk -v r="$r" 'BEGIN { print (r != "-" && r >= 0.5) }')")"
t=$(ftotal "10k-c$filter_many")
echo "10,000 URL-filter rules at $filter_many connections: $t time-outs (target 0): $(held "$([ "$t" = 0 ] && echo 1 || echo 0)");" \
     "rule-free at $filter_many: $(ftotal "free-c$filter_many") time-outs, rate $(ratio "$(fmedian "10k-c$filter_many" 3)" "$(fmedian "free-c$filter_many" 3)") of it"
echo "squid with the same 1k expressions: $(ratio "$(fmedian squid-1k 3)" "$(fmedian squid 3)") of its rule-free rate"
echo "resident memory after the runs: rule-free $(rss_kib "$free_pid") KiB, 1k $(rss_kib "$r1k_pid") KiB, 10k $(rss_kib "$r10k_pid") KiB"
for p in "$free_pid" "$r1k_pid" "$r10k_pid" "$squid_rules_pid"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done

# The URL blacklist: the list daemon and the same daemon without the list.
checks_port=$(free_port)
nolist_port=$(free_port)
mkdir -p "$work/blacklist/bench"
awk 'BEGIN { for (i = 0; i < 1000000; i++) printf "d%07d.example.com\n", i }' \
    >"$work/blacklist/bench/domains"
python3 - "$work/quillmere.xml" "$proxy_port" "$work/blacklist" "$work" "$checks_port" "$nolist_port" <<'PYEOF'
import re, sys
src, old_port, tree, work, checks_port, nolist_port = sys.argv[1:]
for name, port, directory in (("checks", checks_port, tree), ("nolist", nolist_port, "")):
    text = open(src).read().replace("<port>%s</port>" % old_port, "<port>%s</port>" % port)
    rule = ("<deny><enabled>true</enabled><comment>bench</comment><profiles></profiles>"
            "<host>^never\\.invalid$</host><path></path><addresses></addresses><template></template></deny>")
    sections = {
        "url-filtering": "<enabled>true</enabled><allow-first>false</allow-first><template></template>" + rule,
        "dnsbl": "<enabled>true</enabled><template></template><zone></zone><addresses>127.0.0.2</addresses>",
        "urlblacklist": ("<enabled>true</enabled><allow-first>false</allow-first><directory>%s</directory>"
                         "<template></template><deny><enabled>true</enabled><comment>bench</comment>"
                         "<profiles></profiles><categories>bench</categories><template></template></deny>" % directory),
    }
    for section, body in sections.items():
        text, n = re.subn(r"<%s>.*?</%s>" % (section, section), "<%s>%s</%s>" % (section, body, section), text, flags=re.S)
        assert n == 1, section
    open("%s/%s.xml" % (work, name), "w").write(text)
PYEOF
url="http://127.0.0.1:$origin_port/1k.bin"
first_answer() {   # first_answer PORT -> waits for a 200 through the daemon
    for _ in $(seq 1 3000); do
        [ "$(curl -s -o /dev/null -w "%{http_code}" -x "127.0.0.1:$1" "$url" 2>/dev/null)" = 200 ] && return 0
        sleep 0.01
    done
    return 1
}
start_ns=$(date +%s%N)
checks_pid=$(filter_daemon checks); pids+=($checks_pid)
first_answer "$checks_port"
answer_ns=$(date +%s%N)
nolist_pid=$(filter_daemon nolist); pids+=($nolist_pid)
first_answer "$nolist_port"
grep "URL blacklist:" "$work/checks-native.log" | head -3
on_kib=$(rss_kib "$checks_pid")
off_kib=$(rss_kib "$nolist_pid")
added=$(( (on_kib - off_kib) / 1024 ))
echo "blacklist: start to first answer $(( (answer_ns - start_ns) / 1000000 )) ms"
echo "daemon memory after its first answer: with the list $on_kib KiB, without $off_kib KiB"
echo "a 1,000,000-domain list adds $added MiB (target 48): $(held "$([ "$added" -le 48 ] && echo 1 || echo 0)")"
blocked=$(curl -s -o /dev/null -w "%{http_code}" -x "127.0.0.1:$checks_port" "http://d0999999.example.com/")
echo "a listed domain through the checks: $blocked ($(grep -c "match found in bench" "$work/checks-native.log") match line)"
on=$(run "$checks_port" "$url")
off=$(run "$nolist_port" "$url")
sq=$(run "$squid_port" "$url")
printf "%-10s %14s %14s %14s %10s %10s\n" size "with list" "without" squid with/without with/squid
printf "%-10s %14s %14s %14s %10s %10s\n" 1k "$on" "$off" "$sq" "$(ratio "$on" "$off")" "$(ratio "$on" "$sq")"
echo "daemon memory with the list after the run: $(rss_kib "$checks_pid") KiB"
kill "$nolist_pid" 2>/dev/null || true
wait "$nolist_pid" 2>/dev/null || true
[ "${BENCH_ONLY:-}" = filtering ] && exit 0

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
