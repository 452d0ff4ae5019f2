#!/usr/bin/env bash
# Installs the daemon for administrators, as root: builds it, puts the
# program in /usr/local/sbin, the configuration in /etc/quillmere (existing
# files are kept), a systemd unit, the logrotate file, and the log and cache
# directories owned by the user the daemon runs as (QUILL_USER, default
# "proxy"). Then
#     systemctl enable --now quillmere
# starts it.
# DESTDIR puts every file under that directory instead of /, as
# cmake --install does; QUILL_BUILD_DIR installs from a build directory
# already made (its own QUILL_USER is then the unit's).
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
root=${DESTDIR:-}
build=${QUILL_BUILD_DIR:-}

if [ -z "$build" ]; then
    bash scripts/install-deps.sh run
    build=build-install
    jobs=$(nproc 2>/dev/null || echo 2)
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILL_TESTS=OFF \
        -DCMAKE_INSTALL_PREFIX=/usr/local -DQUILL_USER="$user" >/dev/null
    cmake --build "$build" -j "$jobs" --target quillmere
fi
DESTDIR=$root cmake --install "$build"

# The daemon writes its logs and cache as the run-as user; the PID file
# goes to /run/quillmere, which the unit makes for that user. The whole
# cache tree is given to that user: object subdirectories made by a daemon
# run as root (scripts/run.sh) would otherwise refuse it every object.
install -d -m 0750 -o "$user" -g "$group" "$root/var/log/quillmere" "$root/var/cache/quillmere"
chown -R "$user:$group" "$root/var/cache/quillmere"
# The daemon reopens its logs on SIGUSR1; logrotate moves them first.
install -D -m 0644 etc/logrotate.d/quillmere "$root/etc/logrotate.d/quillmere"
if [ -z "$root" ] && command -v systemctl >/dev/null 2>&1; then
    systemctl daemon-reload || true
fi
echo "installed; start with: systemctl enable --now quillmere"
