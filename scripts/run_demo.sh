#!/usr/bin/env bash
# Sets everything up on the default python3 (once; later calls start at once) and runs the
# demonstration backtest: `bash scripts/run_demo.sh`, or any orva-backtest command after it
# (`bash scripts/run_demo.sh run examples/futures_breakout.py --codes TXFR1:Future ...`).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
root=$(repo_root)
version=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv="$root/.venv/py$version"
make_venv "$(command -v python3)" "$venv"
# The tick cache and reports go to ./data unless ORVA_DATA_DIR says otherwise.
export ORVA_DATA_DIR="${ORVA_DATA_DIR:-$root/data}"
if [ $# -eq 0 ]; then set -- demo; fi
exec "$venv/bin/orva-backtest" "$@"
