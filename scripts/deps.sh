#!/bin/sh
# Installs the Debian packages kelvarine needs to build, run and test,
# and only those that are missing: quick when everything is present,
# and "apt-get update" runs only when something has to be installed.
set -eu

PACKAGES="g++ cmake make pkg-config libpcre3-dev libtinyxml-dev libssl-dev
zlib1g-dev libbrotli-dev libzstd-dev libntlm0-dev libpam0g-dev libldap-dev libcrypt-dev libgtest-dev
python3 python3-pytest python3-pytest-xdist curl nginx-light procps util-linux clang libclang-rt-14-dev
slapd passwd libpam-modules
clamav-daemon c-icap libc-icap-mod-virus-scan dnsmasq-base"
# Tests only: the FTP, SOCKS and parent-proxy peers, and the browser that
# drives the web interface.
PACKAGES="$PACKAGES vsftpd dante-server tinyproxy chromium chromium-driver python3-selenium"
# Tests only: a log analyser reads the access log back.
PACKAGES="$PACKAGES calamaris"
# Tests only: origins that send br- and zstd-coded bodies code them with these.
PACKAGES="$PACKAGES python3-brotli python3-zstandard"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    echo "deps: installing$missing"
    if [ "$(id -u)" -ne 0 ]; then
        echo "deps: missing packages and not root; install them first:$missing" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends $missing
fi
