#!/usr/bin/env bash
# Sets everything up and runs all tests: the C++ core suite, then pytest on
# Python 3.9 and on the default python3. Set ORVA_PYTHONS to test other interpreters.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
root=$(repo_root)
cd "$root"

pythons=${ORVA_PYTHONS:-"$(find_python39) $(command -v python3)"}

ensure_gtest
ensure_chromium
first=""
declare -A seen=()
for python in $pythons; do
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  [ -n "${seen[$version]:-}" ] && continue
  seen[$version]=1
  venv="$root/.venv/py$version"
  make_venv "$python" "$venv"
  if [ -z "$first" ]; then
    first=$venv
    say "C++ core tests"
    "$venv/bin/cmake" -S "$root" -B "$root/build/cpp" -G Ninja -DORVA_BUILD_TESTS=ON >/dev/null
    "$venv/bin/cmake" --build "$root/build/cpp"
    "$venv/bin/ctest" --test-dir "$root/build/cpp" --output-on-failure
  fi
  say "Python tests on $version"
  # From the tests folder, so the installed package is imported, not the source tree.
  (cd "$root/tests/python" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@")
done
