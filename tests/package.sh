#!/bin/sh
# Makes the Debian package in the build folder, checks it with lintian, installs it, runs the installed
# program, finds its manual page, and removes the package again.
#   package.sh BUILD_DIR
set -eu
cd "$1"
if [ "$(id -u)" -ne 0 ]; then
    echo "Installing a package needs root."
    exit 77
fi
if dpkg-query -W -f='${Status}' uploader 2>/dev/null | grep -q "install ok installed"; then
    echo "A package named uploader is installed here already; it is left alone."
    exit 77
fi

rm -f uploader_*.deb
cpack > cpack.log 2>&1 || { cat cpack.log; exit 1; }
deb=$(ls uploader_*_*.deb)
echo "$deb: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -f "$deb" Depends | grep -Eq "libqt(5network5|6network6)"
# Debian's own checks: no error and no warning; overrides say why in doc/lintian-overrides.
lintian --fail-on error,warning "$deb" > lintian.log 2>&1 || { cat lintian.log; exit 1; }

trap 'dpkg -r uploader > /dev/null' EXIT
dpkg -i "$deb" > /dev/null
status=0
/usr/bin/uploader 2> usage.txt || status=$?
[ "$status" -eq 2 ] || { echo "exit status $status, not 2"; exit 1; }
grep -q "^ >> Usage: uploader url api_token" usage.txt
man -w uploader
/usr/bin/uploader-file --version | grep -q "^uploader-file "
man -w uploader-file
