#!/usr/bin/env bash
# Sets everything up on the default python3 and runs the demonstration backtest.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
root=$(repo_root)
version=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv="$root/.venv/py$version"
make_venv "$(command -v python3)" "$venv"
# The tick cache and reports go to ./data unless ORVA_DATA_DIR says otherwise.
export ORVA_DATA_DIR="${ORVA_DATA_DIR:-$root/data}"
cd "$root/.venv" && exec "$venv/bin/python" -m orva_backtest "$@"
