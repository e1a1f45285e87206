#!/usr/bin/env bash
# Sets everything up and runs all tests: the C++ core suite, then pytest on
# Python 3.9 and on the default python3. Set ORVA_PYTHONS to test other interpreters.
# Every suite runs even when an earlier one fails; the summary at the end reports each.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
root=$(repo_root)
cd "$root"

# Python 3.9 is the target: a run without it says so in the summary.
if [ -n "${ORVA_PYTHONS:-}" ]; then
  pythons=$ORVA_PYTHONS
  untested="ORVA_PYTHONS names no Python 3.9"
else
  pythons="$(find_python39 || true) $(command -v python3)"
  untested="no Python 3.9 found: install it or set ORVA_PYTHON39"
fi

ensure_gtest
ensure_chromium
export ORVA_BROWSER_TEST=required  # the report page's browser test fails, saying why, without Chromium
first=""
summary=()
failed=0
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
    if "$venv/bin/cmake" -S "$root" -B "$root/build/cpp" -G Ninja -DORVA_BUILD_TESTS=ON >/dev/null &&
       "$venv/bin/cmake" --build "$root/build/cpp" &&
       "$venv/bin/ctest" --test-dir "$root/build/cpp" --output-on-failure; then
      summary+=("C++ core: passed")
    else
      summary+=("C++ core: FAILED"); failed=1
    fi
  fi
  say "Python tests on $version"
  # From the tests folder, so the installed package is imported, not the source tree.
  if (cd "$root/tests/python" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"); then
    summary+=("Python $version: passed")
  else
    summary+=("Python $version: FAILED"); failed=1
  fi
done
[ -n "${seen[3.9]:-}" ] || summary+=("Python 3.9: NOT TESTED ($untested)")
say "summary"
printf '    %s\n' "${summary[@]}"
exit $failed
