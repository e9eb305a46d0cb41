#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need (only the
# missing ones). Runs apt-get as root, or through sudo.
set -euo pipefail
PKGS=(build-essential cmake ninja-build ccache g++ clang-14 libclang-rt-14-dev
      libgtest-dev libgmock-dev googletest
      qt6-base-dev libgl-dev qt6-qpa-plugins fonts-dejavu-core libsqlite3-dev
      xvfb xauth x11-apps imagemagick
      lrzsz iproute2 util-linux procps
      g++-mingw-w64-x86-64-posix wine64 python3
      postgresql-15 postgresql-client-15 libpq-dev
      libboost-dev nlohmann-json3-dev chromium-headless-shell
      libzint-dev libpng-dev zbar-tools
      libgcrypt20-dev libgcrypt-mingw-w64-dev)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
  # The tests start PostgreSQL servers of their own (Unix socket only): the package
  # must not create and start its default cluster, which listens on TCP.
  if [[ " ${missing[*]} " == *" postgresql-15 "* ]]; then
    $SUDO mkdir -p /etc/postgresql-common/createcluster.d
    echo "create_main_cluster = false" |
      $SUDO tee /etc/postgresql-common/createcluster.d/production-tool.conf > /dev/null
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present"
fi
