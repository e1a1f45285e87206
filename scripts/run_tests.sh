#!/usr/bin/env bash
# Sets everything up and runs all tests: the C++ core suite, then pytest on
# Python 3.9 and on the default python3. Set ORVA_PYTHONS to test other interpreters.
# Every suite runs even when an earlier one fails; the summary at the end reports each.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
root=$(repo_root)
cd "$root"

pythons=${ORVA_PYTHONS:-"$(find_python39) $(command -v python3)"}

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
say "summary"
printf '    %s\n' "${summary[@]}"
exit $failed
