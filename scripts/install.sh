#!/usr/bin/env bash
# Installs the daemon for administrators, as root: builds it, puts the
# program in /usr/local/sbin, the configuration in /etc/quillmere (existing
# files are kept), a systemd unit, and the log and cache directories owned
# by the user the daemon runs as (QUILL_USER, default "proxy"). Then
#     systemctl enable --now quillmere
# starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "run this script as root" >&2
    exit 1
fi
user=${QUILL_USER:-proxy}
if ! getent passwd "$user" >/dev/null; then
    echo "no user $user: create it or set QUILL_USER" >&2
    exit 1
fi
group=$(id -gn "$user")

bash scripts/install-deps.sh run
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-install -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILL_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr/local -DQUILL_USER="$user" >/dev/null
cmake --build build-install -j "$jobs" --target quillmere
cmake --install build-install

# The daemon writes its logs and cache as the run-as user; the PID file
# goes to /run/quillmere, which the unit makes for that user.
install -d -m 0750 -o "$user" -g "$group" /var/log/quillmere /var/cache/quillmere
if command -v systemctl >/dev/null 2>&1; then
    systemctl daemon-reload || true
fi
echo "installed; start with: systemctl enable --now quillmere"
