#!/usr/bin/env bash
# Usage: run_server.sh <build-dir> <home-dir>
# Prepares a home folder (configuration for 127.0.0.1:4092) when it has none,
# then starts the server in it.
set -euo pipefail
build_dir="$(cd "$1" && pwd)"
home="$2"
mkdir -p "$home/conf"
home="$(cd "$home" && pwd)"
if [ ! -f "$home/conf/serv.conf" ]; then
  cat > "$home/conf/serv.conf" <<'CONF'
# Brisvane server configuration
SERV_IP=127.0.0.1
SERV_PORT=4092
LOCAL_V1_ACCESS=true
CONF
fi
# The web application is installed beside the programs; the server looks for
# it in its working folder (WEBAPP_FILE_PATH, "webapp" by default).
if [ ! -e "$home/webapp" ] || [ -L "$home/webapp" ]; then
  ln -sfn "$build_dir/bin/webapp" "$home/webapp"
fi
export BRISVANE_HOME="$home"
exec "$build_dir/bin/brisvanesrv"
