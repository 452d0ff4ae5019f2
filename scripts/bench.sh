#!/usr/bin/env bash
# Throughput of the proxy against squid and against the origin itself, on
# loopback: nginx serves 1 KiB and 100 KiB responses that no cache may keep,
# and wrk sends GETs over 64 kept-alive connections, directly, through the
# daemon and through squid (each with its access log on). Prints the
# configurations, the rates, the ratios and the daemon's memory before and
# after. Then the same for cache hits: objects that may be kept for an hour,
# served from the daemon's cache and from a second squid with a memory
# cache. Then the hit rate again while four loops run searches of the
# cache browser, which walk the whole object index under the cache lock. Last,
# 100 KiB misses scanned by clamd, through the daemon's ClamAV adapter and
# through squid with c-icap's virus_scan. A benchmark, not a test: it
# asserts nothing.
#
# Usage: scripts/bench.sh [seconds per run]   (QUILL_BIN: the daemon to use;
# by default a release build is made in build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-10}
threads=4
connections=64

need=()
command -v wrk >/dev/null || need+=(wrk)
command -v squid >/dev/null || [ -x /usr/sbin/squid ] || need+=(squid)
command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || need+=(nginx-light)
[ -x /usr/sbin/clamd ] || need+=(clamav-daemon)
command -v c-icap >/dev/null || need+=(c-icap)
[ -e /usr/lib/x86_64-linux-gnu/c_icap/virus_scan.so ] || need+=(libc-icap-mod-virus-scan)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing: ${need[*]}; install them (as root: apt-get install ${need[*]})" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # No package may start its system service (clamd, freshclam, c-icap).
    policy_made=
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
        chmod 755 /usr/sbin/policy-rc.d
        policy_made=1
    fi
    apt-get install -y -qq --no-install-recommends "${need[@]}"
    [ -z "$policy_made" ] || rm -f /usr/sbin/policy-rc.d
fi
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
squid_bin=$(command -v squid || echo /usr/sbin/squid)

bin=${QUILL_BIN:-}
if [ -z "$bin" ]; then
    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
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
    for _ in $(seq 1 100); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
        sleep 0.1
    done
    echo "nothing listens on port $1" >&2
    return 1
}

origin_port=$(free_port)
proxy_port=$(free_port)
squid_port=$(free_port)
squid_cache_port=$(free_port)

# The origin: fixed files, never cacheable, kept-alive without end.
mkdir -p "$work/www" "$work/nginx"
head -c 1024 /dev/urandom >"$work/www/1k.bin"
head -c 102400 /dev/urandom >"$work/www/100k.bin"
mkdir -p "$work/www/hit"
cp "$work/www/1k.bin" "$work/www/100k.bin" "$work/www/hit/"
cat >"$work/nginx/nginx.conf" <<EOF
$( [ "$(id -u)" -eq 0 ] && echo "user root;" )
worker_processes 4;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
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

# The daemon: the shipped configuration on its own port, its logs on. Its
# socket buffers are set to 32 KiB: with the default 8 KiB a kept-alive
# client waits for the delayed acknowledgement (40 ms) at the end of every
# response over a few segments. QUILL_BENCH_ARGS adds or overrides options.
# The local machine also gets the web interface, without a login pair, for
# the cache browser's searches.
sed -e "s|<port>8080</port>|<port>$proxy_port</port>|" -e "s|/var/cache/quillmere|$work/cache|" \
    -e "s|<permissions>proxy,connect,commands</permissions>|<permissions>interface,proxy,connect,commands</permissions>|" \
    etc/quillmere.xml >"$work/quillmere.xml"
proxy_args=(-f -c "$work/quillmere.xml" -s etc/section.xml -l "$work/native.log"
            -a "$work/access.log" -e "$work/extended.log" -r "$work/performance.log" -t 1024 -b 32768:32768 ${QUILL_BENCH_ARGS:-})

# squid: no cache, one worker, its access log on.
mkdir -p "$work/squid"
cat >"$work/squid/squid.conf" <<EOF
http_port 127.0.0.1:$squid_port
acl localnet src 127.0.0.1
http_access allow localnet
http_access deny all
cache deny all
cache_mem 8 MB
workers 1
access_log stdio:$work/squid/access.log
cache_log $work/squid/cache.log
pid_filename $work/squid/squid.pid
coredump_dir $work/squid
$( [ "$(id -u)" -eq 0 ] && echo "cache_effective_user proxy" )
shutdown_lifetime 1 seconds
EOF

# A second squid that keeps objects in memory, for the cache hits.
mkdir -p "$work/squid-cache"
cat >"$work/squid-cache/squid.conf" <<EOF
http_port 127.0.0.1:$squid_cache_port
acl localnet src 127.0.0.1
http_access allow localnet
http_access deny all
cache_mem 256 MB
maximum_object_size_in_memory 1 MB
workers 1
access_log stdio:$work/squid-cache/access.log
cache_log $work/squid-cache/cache.log
pid_filename $work/squid-cache/squid.pid
coredump_dir $work/squid-cache
$( [ "$(id -u)" -eq 0 ] && echo "cache_effective_user proxy" )
shutdown_lifetime 1 seconds
EOF

# squid will not run as root: as root it becomes the user "proxy".
[ "$(id -u)" -eq 0 ] && chown -R proxy "$work/squid" "$work/squid-cache"

"$nginx_bin" -p "$work/nginx" -c "$work/nginx/nginx.conf" &
pids+=($!)
"$bin" "${proxy_args[@]}" >"$work/proxy.out" 2>&1 &
proxy_pid=$!
pids+=($proxy_pid)
"$squid_bin" -n "quillbench$$" -N -f "$work/squid/squid.conf" >"$work/squid/stdout" 2>&1 &
pids+=($!)
"$squid_bin" -n "quillbenchc$$" -N -f "$work/squid-cache/squid.conf" >"$work/squid-cache/stdout" 2>&1 &
pids+=($!)
wait_port "$origin_port"
wait_port "$proxy_port"
wait_port "$squid_port"
wait_port "$squid_cache_port"

cat >"$work/proxy.lua" <<'EOF'
-- Requests in absolute form, as a client sends them to a proxy.
wrk.path = os.getenv("TARGET")
EOF

rss() { awk '/^VmRSS/ {print $2 " KiB"}' "/proc/$proxy_pid/status"; }

run() {   # run NAME PORT TARGET-URL -> requests per second
    local port=$1 target=$2 out
    if [ "$port" = "$origin_port" ]; then
        out=$(wrk -t "$threads" -c "$connections" -d "${seconds}s" "$target")
    else
        out=$(TARGET="$target" wrk -t "$threads" -c "$connections" -d "${seconds}s" \
              -s "$work/proxy.lua" "http://127.0.0.1:$port/")
    fi
    if echo "$out" | grep -q "Non-2xx"; then
        echo "$out" >&2
    fi
    echo "$out" | awk '/^Requests\/sec/ {print $2}'
}

echo "== origin (nginx) configuration =="
cat "$work/nginx/nginx.conf"
echo "== squid configuration =="
cat "$work/squid/squid.conf"
echo "== squid configuration for the cache hits =="
cat "$work/squid-cache/squid.conf"
echo "== daemon =="
echo "$bin ${proxy_args[*]}"
grep -A 20 "<rule>" "$work/quillmere.xml" | sed -n '1,20p'
echo "== load: wrk -t $threads -c $connections -d ${seconds}s, on $(nproc) cores =="
echo "daemon memory at start: $(rss)"

# Warm every path once (connections, pools, page cache).
for f in 1k.bin 100k.bin; do
    curl -s -o /dev/null -x "127.0.0.1:$proxy_port" "http://127.0.0.1:$origin_port/$f"
    curl -s -o /dev/null -x "127.0.0.1:$squid_port" "http://127.0.0.1:$origin_port/$f"
done

printf "%-10s %14s %14s %14s %10s %10s\n" size direct proxy squid proxy/squid proxy/direct
for f in 1k.bin 100k.bin; do
    url="http://127.0.0.1:$origin_port/$f"
    d=$(run "$origin_port" "$url")
    p=$(run "$proxy_port" "$url")
    s=$(run "$squid_port" "$url")
    printf "%-10s %14s %14s %14s %10s %10s\n" "${f%.bin}" "$d" "$p" "$s" \
        "$(awk -v a="$p" -v b="$s" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')" \
        "$(awk -v a="$p" -v b="$d" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')"
    echo "daemon memory after $f: $(rss)"
done
# Cache hits: each object is fetched through each cache first.
echo "== cache hits =="
for f in 1k.bin 100k.bin; do
    for port in "$proxy_port" "$squid_cache_port"; do
        curl -s -o /dev/null -x "127.0.0.1:$port" "http://127.0.0.1:$origin_port/hit/$f"
        curl -s -o /dev/null -x "127.0.0.1:$port" "http://127.0.0.1:$origin_port/hit/$f"
    done
done
printf "%-10s %14s %14s %14s %10s %10s\n" size direct proxy squid proxy/squid proxy/direct
for f in 1k.bin 100k.bin; do
    url="http://127.0.0.1:$origin_port/hit/$f"
    d=$(run "$origin_port" "$url")
    p=$(run "$proxy_port" "$url")
    s=$(run "$squid_cache_port" "$url")
    printf "%-10s %14s %14s %14s %10s %10s\n" "${f%.bin}" "$d" "$p" "$s" \
        "$(awk -v a="$p" -v b="$s" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')" \
        "$(awk -v a="$p" -v b="$d" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')"
    echo "daemon memory after hits of $f: $(rss)"
done
echo "daemon cache hits in the access log: $(grep -c TCP_HIT "$work/access.log" || true)"
echo "access-log lines: daemon $(wc -l <"$work/access.log"), squid $(wc -l <"$work/squid/access.log")"

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
             -t 1024 -b 32768:32768 ${QUILL_BENCH_ARGS:-})
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
           -t 1024 -b 32768:32768 ${QUILL_BENCH_ARGS:-})
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
