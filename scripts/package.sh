#!/usr/bin/env bash
# Builds the station as the README's "Installing a station" does (Release, no tests,
# warnings not errors), makes the Debian package and checks what it holds: the
# programs, the launchers, the README, and that the packaged programs run.
#   scripts/package.sh [BUILD_DIR]        (default build/release)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
DIR="${1:-build/release}"
cmake -S . -B "$DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$DIR" -j "${JOBS:-$(nproc)}"
rm -f "$DIR"/production-tool_*.deb
(cd "$DIR" && cpack -G DEB >/dev/null)
deb="$(ls "$DIR"/production-tool_*_amd64.deb)"
listing="$(dpkg-deb -c "$deb")"
fail=0
for f in ./usr/bin/production-tool ./usr/bin/production-cli ./usr/bin/production-records \
         ./usr/bin/eeprom-tool ./usr/bin/eeprom-editor ./usr/bin/factory-db ./usr/bin/job-tool \
         ./usr/share/applications/production-tool.desktop \
         ./usr/share/doc/production-tool/README.md \
         ./usr/share/doc/production-tool/docs/operator.md; do
  grep -q " $f\$" <<<"$listing" || { echo "package: $f missing from $deb"; fail=1; }
done
# The packaged programs run from the unpacked package.
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp/root"
"$tmp/root/usr/bin/eeprom-tool" new "$tmp/a.vef" >/dev/null || { echo "package: eeprom-tool new failed"; fail=1; }
[ "$(stat -c %s "$tmp/a.vef" 2>/dev/null)" = 1024 ] || { echo "package: eeprom-tool made no 1024-byte image"; fail=1; }
"$tmp/root/usr/bin/eeprom-tool" show "$tmp/a.vef" >/dev/null || { echo "package: eeprom-tool show failed"; fail=1; }
jt="$tmp/root/usr/bin/job-tool"
{ "$jt" keygen --out "$tmp/k" && "$jt" create --key "$tmp/k.key" --name n --version 1 --eeprom "$tmp/a.vef" \
    --mac pool --out "$tmp/a.pkg" && "$jt" verify "$tmp/a.pkg" --key "$tmp/k.pub"; } >/dev/null ||
  { echo "package: job-tool keygen, create or verify failed"; fail=1; }
echo "engineer" | "$jt" password --iterations 10000 | grep -q '^engineer-password = pbkdf2-sha256\$10000\$' ||
  { echo "package: job-tool password failed"; fail=1; }
if [ $fail = 0 ]; then echo "package: $deb passed"; else echo "package: $deb FAILED"; fi
exit $fail
