#!/usr/bin/env bash
# Installs the packages the build and tests need (Debian 12, as root; nss_wrapper
# gives programs under test a stand-in instance owner) and generates the
# decimal-comma locale the tests switch to; iproute2 makes the network
# namespaces of the several-hosts tests. Does nothing when all is present.
set -euo pipefail
pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
      libbenchmark-dev zlib1g-dev libssl-dev locales libnss-wrapper iproute2)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Message items must not follow the locale's decimal comma; a test proves it
# under de_DE.UTF-8. Listed in /etc/locale.gen so a later locale-gen keeps it.
locale=de_DE.UTF-8
if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
  if [ -f /etc/locale.gen ] && command -v locale-gen >/dev/null 2>&1; then
    grep -q "^$locale UTF-8" /etc/locale.gen ||
      sed -i "s/^# *\($locale UTF-8\)/\1/" /etc/locale.gen
    grep -q "^$locale UTF-8" /etc/locale.gen || echo "$locale UTF-8" >>/etc/locale.gen
    locale-gen >/dev/null
  else
    localedef -i de_DE -f UTF-8 "$locale"
  fi
fi
