# Installs the Debian packages named in the arguments that are missing.
# Sourced by the set-up scripts; uses sudo when not run as root.
lantern_install_packages() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Packages needed to build and test the core library.
LANTERN_CORE_PACKAGES=(
    g++ clang libclang-rt-14-dev cmake ninja-build pkg-config
    libasio-dev libboost-url1.81-dev libutf8proc-dev nlohmann-json3-dev libavcodec-dev libavformat-dev libssl-dev
    libebur128-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    curl ffmpeg locales
)

# Packages needed to build and test the application module.
LANTERN_APP_PACKAGES=(
    qt6-base-dev qt6-declarative-dev qt6-svg-dev qcoro-qt6-dev libpulse-dev libswresample-dev
    libsecret-1-dev libqrencode-dev libsqlite3-dev libsodium-dev libxcb1-dev libxcb-keysyms1-dev libxcb-xkb-dev
    qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-templates
    qml6-module-qtquick-layouts qml6-module-qtquick-window qml6-module-qtqml-workerscript
    qt6-qpa-plugins xvfb xdotool
    pulseaudio pulseaudio-utils dbus-daemon dbus-bin gnome-keyring fonts-noto-color-emoji
)

# Packages only the tests need: the two browsers that open the listening page,
# PipeWire with its pulse server (the capture tests run against it as well as
# PulseAudio), Qt Quick Test, a QR reader, the desktop-file and AppStream
# validators, the Debian packaging tools, the font the screenshots are taken
# in, the house's formatter and linter, and a real tray (xfce4-panel under
# openbox), and Python's D-Bus bindings for the stand-in services on the bus.
LANTERN_TEST_PACKAGES=(chromium firefox-esr pipewire pipewire-pulse wireplumber qml6-module-qttest
    zbar-tools desktop-file-utils appstream dpkg-dev fakeroot fonts-cantarell x11-utils systemd
    clang-format clang-tidy xfce4-panel openbox mpv icecast2 openssl python3-dbus python3-gi)

# Node.js and npm for the script that drives the browsers (puppeteer-core, from
# npm, over the installed browsers); Debian's when the machine has none.
lantern_install_node() {
    command -v node >/dev/null && command -v npm >/dev/null && return 0
    lantern_install_packages nodejs npm
}

# The tunnel tool that gives the station its public link. It is in no
# distribution's archive, so it comes from its vendor's signed Debian
# repository, installed the way the vendor documents: the signing key to a
# keyring file, a source entry "signed-by" it, then apt. Where the repository
# cannot be reached it says so in one line and returns: the station then runs
# on this computer only. LANTERN_CLOUDFLARED_REPO names another repository.
lantern_install_cloudflared() {
    if [ -n "${LANTERN_CLOUDFLARED:-}" ] && [ -x "$LANTERN_CLOUDFLARED" ]; then return 0; fi
    command -v cloudflared >/dev/null && return 0
    local repo=${LANTERN_CLOUDFLARED_REPO:-https://pkg.cloudflare.com}
    local keyring=/usr/share/keyrings/cloudflare-main.gpg
    local source=/etc/apt/sources.list.d/cloudflared.list
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    local key
    key=$(mktemp)
    if ! curl -fsL --connect-timeout 5 --max-time 30 "$repo/cloudflare-main.gpg" -o "$key"; then
        rm -f "$key"
        echo "cloudflared isn't installed and $repo can't be reached: the station will play on this computer only, with no link to share."
        return 0
    fi
    echo "Installing cloudflared, the tunnel program that gives your station its link, from $repo"
    $sudo install -D -m 0644 "$key" "$keyring"
    rm -f "$key"
    echo "deb [signed-by=$keyring] $repo/cloudflared any main" | $sudo tee "$source" >/dev/null
    if ! $sudo apt-get update -q || ! DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q cloudflared; then
        # A source that does not work would break every later apt-get update.
        $sudo rm -f "$source" "$keyring"
        echo "Couldn't install cloudflared: the station will play on this computer only, with no link to share."
    fi
}
