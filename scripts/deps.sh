#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need,
# when any of them is missing. Quick when everything is in place.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev   # compilers; clang for the fuzz targets
    qt6-base-dev libgl-dev                           # Qt 6 Widgets/Network
    pkg-config libpsl-dev publicsuffix               # today's top-level domains
    libgsasl-dev                                     # SASL mechanisms of SMTP AUTH
    libsecret-1-dev                                  # OAuth tokens in the Secret Service
    gnome-keyring dbus-daemon                        # a private Secret Service for its tests
    openssl python3-cryptography                     # test certificates
    libgtest-dev libgmock-dev                        # the test framework
    xvfb xauth xclip x11-apps                        # a display, the clipboard, xclipboard
    python3-xlib                                     # the tests' own clipboard manager
    python3 python3-aiosmtpd dnsmasq-base            # peers that tests start on loopback
    dovecot-core dovecot-submissiond                 # a real submission server (TLS, SASL)
    media-types sharutils iproute2 util-linux        # mime.types, uudecode, namespaces
    git git-email libmailtools-perl s-nail           # programs that hand kelmsend their mail
    neomutt php-cli cron                             # (a mail reader, PHP's mail(), cron)
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
sudo=()
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null; then sudo=(sudo); else
        echo "Missing packages (${missing[*]}) and not root: install them first." >&2
        exit 1
    fi
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
