#!/bin/sh
# Installs the build into a scratch prefix and packages it as a .deb, then
# checks what a desktop needs is there and valid: the program, the launcher
# entry, the icons, the AppStream metainfo, and the package's dependencies.
#   install_check.sh BUILD-FOLDER
set -eu
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "install check: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$scratch/usr" >/dev/null
root=$scratch/usr id=com.brindle.lanternfm
for file in bin/lantern-fm share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
            share/icons/hicolor/scalable/apps/$id.svg; do
    [ -f "$root/$file" ] || fail "$file is not installed"
done
[ -x "$root/bin/lantern-fm" ] || fail "lantern-fm is not executable"
for size in 16 22 24 32 48 64 128 256; do
    png=$root/share/icons/hicolor/${size}x${size}/apps/$id.png
    [ -f "$png" ] || fail "no ${size}px icon"
    # The PNG header's width and height (big-endian, bytes 17 to 24).
    set -- $(od -An -tu1 -j16 -N8 "$png")
    [ $(( ($3 << 8) | $4 )) -eq "$size" ] && [ $(( ($7 << 8) | $8 )) -eq "$size" ] ||
        fail "the ${size}px icon is not ${size}x${size}"
done
grep -q "^Icon=$id$" "$root/share/applications/$id.desktop" || fail "the entry names another icon"
desktop-file-validate "$root/share/applications/$id.desktop" || fail "the launcher entry is not valid"
appstreamcli validate --no-net --pedantic "$root/share/metainfo/$id.metainfo.xml" ||
    fail "the metainfo is not valid"

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/package" >/dev/null
deb=$(ls "$scratch"/package/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for package in libqt6core6 libqt6quick6 libpulse0 libqrencode4 qml6-module-qtquick-controls; do
    echo "$depends" | grep -q "$package" || fail "the package does not depend on $package: $depends"
done
dpkg-deb -c "$deb" | grep -q "./usr/share/applications/$id.desktop" || fail "the package lacks the launcher entry"
[ "$(dpkg-deb -f "$deb" Suggests)" = cloudflared ] || fail "the package does not suggest cloudflared"
echo "installed tree and package are complete and valid"

# The address service installs on its own, with its systemd unit, and stays
# out of the desktop package.
cmake --install "$build" --component addressd --prefix "$scratch/service" >/dev/null
[ -x "$scratch/service/bin/lantern-addressd" ] || fail "lantern-addressd is not installed"
unit=$scratch/service/lib/systemd/system/lantern-addressd.service
grep -q "^ExecStart=/.*/lantern-addressd --listen=127.0.0.1:8470 " "$unit" ||
    fail "the unit does not start lantern-addressd"
# The unit confines the service as far as systemd's own rating calls "OK".
systemd-analyze security --offline=yes --threshold=29 "$unit" >/dev/null ||
    fail "the unit's exposure is above 2.9: $(systemd-analyze security --offline=yes "$unit" | tail -n 1)"
! dpkg-deb -c "$deb" | grep -q lantern-addressd || fail "the desktop package carries the address service"
