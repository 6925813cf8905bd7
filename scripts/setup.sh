#!/usr/bin/env bash
# Brings a fresh Debian 12 machine to the point where the project builds:
# Debian packages (installed only when missing) and the llama.cpp release
# source that node-llama-cpp ships. Idempotent and quick when all is in place.
# Never edits anything under /etc.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=versions.sh
source "$here/versions.sh"

cache="${XDG_CACHE_HOME:-$HOME/.cache}/brisvane"
mkdir -p "$cache"

# ---- Debian packages -------------------------------------------------------
packages=(cmake ninja-build pkg-config g++ git nlohmann-json3-dev libstb-dev libwebp-dev
          libopus-dev libssl-dev libgtest-dev libgmock-dev libzip-dev zipcmp ziptool openssl
          chromium python3
          # the desktop shell (GTK 3, WebKitGTK 4.1, the tray indicator) and
          # the X server its tests run on
          libgtk-3-dev libwebkit2gtk-4.1-dev libayatana-appindicator3-dev libx11-dev xvfb dbus)
packages+=("${BRISVANE_EXTRA_PACKAGES[@]}")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

# ---- llama.cpp source from node-llama-cpp ----------------------------------
llama_dir="$cache/llama.cpp-$NODE_LLAMA_CPP_VERSION"
if [ ! -f "$llama_dir/.ready" ]; then
  pkg_dir="$cache/npm-$NODE_LLAMA_CPP_VERSION"
  if [ ! -f "$pkg_dir/package/llama/gitRelease.bundle" ]; then
    rm -rf "$pkg_dir"; mkdir -p "$pkg_dir"
    echo "setup: fetching node-llama-cpp@$NODE_LLAMA_CPP_VERSION" >&2
    (cd "$pkg_dir" && npm pack --silent "node-llama-cpp@$NODE_LLAMA_CPP_VERSION" >/dev/null \
       && tar -xzf node-llama-cpp-*.tgz && rm -f node-llama-cpp-*.tgz)
  fi
  tag="$(sed -n 's/.*"tag"[[:space:]]*:[[:space:]]*"\([^"]*\)".*/\1/p' "$pkg_dir/package/llama/llama.cpp.info.json")"
  echo "setup: cloning llama.cpp $tag from the release bundle" >&2
  rm -rf "$llama_dir.tmp"
  git -c advice.detachedHead=false clone -q "$pkg_dir/package/llama/gitRelease.bundle" "$llama_dir.tmp"
  rm -rf "$llama_dir"; mv "$llama_dir.tmp" "$llama_dir"
  echo "$tag" > "$llama_dir/.ready"
fi
# The last line of standard output names the llama.cpp source tree.
echo "$llama_dir"
