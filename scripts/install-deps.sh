#!/usr/bin/env bash
# Installs the Debian packages that building and testing Corvandel needs,
# when any of them is missing. Usage: scripts/install-deps.sh [extra packages]
set -euo pipefail

# dpkg-dev (dpkg-shlibdeps) and file: cpack reads the Debian packages' dependencies with them.
packages=(cmake ninja-build g++ pkg-config python3 libgtest-dev libgmock-dev libbenchmark-dev
          libxml2-dev libpugixml-dev libexpat1-dev libcurl4-openssl-dev libssl-dev openssl qt6-base-dev
          libcli11-dev nlohmann-json3-dev libsqlite3-dev zlib1g-dev
          xvfb xauth desktop-file-utils dpkg-dev file "$@")

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null; then
  sudo=(sudo)
else
  echo "Please install as root: apt-get install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
