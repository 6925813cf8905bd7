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
# `make test` sets BRISVANE_SETUP_TESTS: the packages only tests use.
[ "${BRISVANE_SETUP_TESTS:-}" = 1 ] && packages+=("${BRISVANE_TEST_PACKAGES[@]}")
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
# ---- libwebm source (mkvmuxer) -----------------------------------------------
# Debian's libwebm-dev ships no mkvmuxer headers, so the muxer is built from
# the matching Debian source package. apt reads a private deb-src list and
# private package lists in the cache; nothing under /etc changes.
webm_dir="$cache/libwebm-$LIBWEBM_SOURCE_VERSION"
if [ ! -f "$webm_dir/.ready" ]; then
  work="$cache/libwebm-apt"
  rm -rf "$work"; mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/src"
  # The source entries are the machine's own configured `deb` entries turned
  # into `deb-src` ones, so the packages come from wherever apt already looks.
  mkdir -p "$work/parts"
  eval "$(apt-config shell apt_list Dir::Etc::sourcelist/f apt_parts Dir::Etc::sourceparts/d)"
  { [ -f "$apt_list" ] && sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$apt_list"
    for f in "$apt_parts"*.list; do [ -f "$f" ] && sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f"; done
    true; } > "$work/sources.list"
  for f in "$apt_parts"*.sources; do
    [ -f "$f" ] && sed 's/^Types:[[:space:]]*deb[[:space:]]*$/Types: deb-src/' "$f" > "$work/parts/$(basename "$f")"
  done
  apt_opts=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=$work/parts"
            -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
            -o "APT::Sandbox::User=root")
  echo "setup: fetching the libwebm $LIBWEBM_SOURCE_VERSION source package" >&2
  # A configured repository without source indexes only warns here; the
  # source download below fails clearly when no repository has the package.
  apt-get -qq "${apt_opts[@]}" update >&2 || echo "setup: some source indexes could not be fetched" >&2
  (cd "$work/src" && apt-get -qq "${apt_opts[@]}" source --download-only "libwebm=$LIBWEBM_SOURCE_VERSION" >&2)
  command -v dpkg-source >/dev/null || {
    sudo_cmd=(); [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends dpkg-dev >&2
  }
  rm -rf "$webm_dir"
  (cd "$work/src" && dpkg-source -q --no-check -x "libwebm_$LIBWEBM_SOURCE_VERSION.dsc" "$webm_dir" >&2)
  # dpkg-source leaves a copy of the upstream tarball beside the tree.
  rm -rf "$work" "$cache"/libwebm_*.orig.tar.*
  touch "$webm_dir/.ready"
fi

# The last line of standard output names the llama.cpp source tree.
echo "$llama_dir"
