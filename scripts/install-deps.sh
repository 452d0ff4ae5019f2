#!/usr/bin/env bash
# Installs the Debian packages the daemon needs: "run" (building and
# running it), "test" (the default: also the tests' tools and peers) or
# "bench" (building it, and the benchmark's load generator and the servers
# it measures against: scripts/bench.sh).
# Idempotent: packages already present are skipped, and apt is not touched
# at all when nothing is missing.
set -euo pipefail

purpose=${1:-test}
packages=(
    build-essential cmake pkg-config
    libssl-dev zlib1g-dev libpcre2-dev libtinyxml2-dev libntlm0-dev libpam0g-dev
    openssl ca-certificates media-types
)
if [ "$purpose" = test ]; then
    packages+=(
        libgtest-dev
        python3 curl procps
        clang libclang-rt-14-dev libpam-modules
        dante-server microsocks nginx nginx-light dnsmasq-base iproute2 util-linux logrotate
        squid tinyproxy python3-pyftpdlib calamaris
        clamav-daemon
        c-icap libc-icap-mod-urlcheck libc-icap-mod-contentfiltering
        chromium libfaketime
    )
fi
if [ "$purpose" = bench ]; then
    packages+=(
        python3 curl procps
        wrk nginx-light squid trafficserver
        clamav-daemon c-icap libc-icap-mod-virus-scan
    )
fi

# The tests start every peer they use on their own ports with their own
# configuration, and freshclam would reach for the internet: none of the
# packages installed for tests runs as a system service.
scanner_services_off() {
    if [ "$purpose" != run ] && [ "$(id -u)" -eq 0 ] && command -v systemctl >/dev/null 2>&1; then
        systemctl disable --now clamav-daemon.service clamav-daemon.socket \
            clamav-freshclam.service squid.service tinyproxy.service nginx.service \
            danted.service dnsmasq.service trafficserver.service c-icap.service \
            >/dev/null 2>&1 || true
    fi
}

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    scanner_services_off
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]}; run this script as root" >&2
    exit 1
fi

echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# The tests start every server they use on their own ports; packages must not
# start their system services (squid, tinyproxy, nginx) on installation.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' > "$policy"
    chmod 755 "$policy"
    trap 'rm -f "$policy"' EXIT
fi
apt-get install -y -qq --no-install-recommends "${missing[@]}"
scanner_services_off
