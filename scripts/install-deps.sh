#!/usr/bin/env bash
# Installs, as root on Debian 12, only the packages the build, tests and tools need.
# Quiet and quick when everything is already present.
set -euo pipefail

pkgs=(
  build-essential cmake ninja-build pkg-config python3
  qtbase5-dev libboost-all-dev libfmt-dev libmsgpack-cxx-dev rapidjson-dev libssl-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libdw-dev zlib1g-dev
  libzydis-dev
  # The real-client test: an RDP server with an Xvnc session, the RDP client under Xvfb.
  xrdp tigervnc-standalone-server freerdp2-x11 xvfb openssl iproute2 procps
)
if [ "${YR_WITH_FUZZ:-0}" = 1 ]; then pkgs+=(clang libclang-rt-14-dev); fi

missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run as root" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
