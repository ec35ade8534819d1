#!/bin/sh
# Makes the Debian package in the build folder and checks it without installing it: lintian,
# its dependencies resolved by apt, its contents, and the programs run from a folder it is
# extracted into.
#   package.sh BUILD_DIR
set -eu
cd "$1"
rm -f uploader_*.deb
cpack > cpack.log 2>&1 || { cat cpack.log; exit 1; }
deb=$(ls uploader_*_*.deb)
echo "$deb: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -f "$deb" Depends | grep -Eq "libqt(5network5|6network6)"
dpkg-deb -f "$deb" Depends | grep -q "libcurl4"
# Debian's own checks: no error and no warning; overrides say why in doc/lintian-overrides.
lintian --fail-on error,warning "$deb" > lintian.log 2>&1 || { cat lintian.log; exit 1; }
# What installing it would take; nothing is installed.
apt-get install --simulate "./$deb" > apt.log 2>&1 || { cat apt.log; exit 1; }

contents=$(mktemp -d)
trap 'rm -rf "$contents"' EXIT
dpkg-deb -x "$deb" "$contents"
for file in usr/bin/uploader usr/bin/uploader-file usr/share/man/man1/uploader.1.gz usr/share/man/man1/uploader-file.1.gz \
            usr/share/doc/uploader/copyright usr/share/doc/uploader/changelog.Debian.gz; do
    [ -f "$contents/$file" ] || { echo "missing from the package: $file"; exit 1; }
done
status=0
"$contents/usr/bin/uploader" 2> usage.txt || status=$?
[ "$status" -eq 2 ] || { echo "exit status $status, not 2"; exit 1; }
grep -q "^ >> Usage: uploader url api_token" usage.txt
"$contents/usr/bin/uploader-file" --version | grep -q "^uploader-file "
man -l "$contents/usr/share/man/man1/uploader-file.1.gz" > /dev/null
