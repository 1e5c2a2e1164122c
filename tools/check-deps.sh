#!/usr/bin/env bash
# Checks that the build dependencies are on this machine; prints the one
# apt-get line that installs whatever is missing and fails when something is.
set -u
missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v make >/dev/null 2>&1 || missing+=(make)
[ -f /usr/include/zlib.h ] || missing+=(zlib1g-dev)
[ -f /usr/include/openssl/evp.h ] || missing+=(libssl-dev)
if [ "${1:-}" = "--tests" ]; then
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  [ -f /usr/include/gmock/gmock.h ] || missing+=(libgmock-dev)
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Missing build dependencies: ${missing[*]}" >&2
  echo "Install them with:  sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
