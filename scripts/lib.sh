# Shared set-up for the scripts: toolchain checks and one virtual environment per interpreter.
# Sourced, not run.

repo_root() { cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd; }

say() { printf '\033[1;34m==> %s\033[0m\n' "$*"; }

# Path of a Python 3.9 interpreter: $ORVA_PYTHON39, pyenv's 3.9, or python3.9 on PATH.
find_python39() {
  if [ -n "${ORVA_PYTHON39:-}" ]; then echo "$ORVA_PYTHON39"; return; fi
  if command -v pyenv >/dev/null 2>&1; then
    local v
    v=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.9(\.[0-9]+)?$' | sort -V | tail -n 1)
    if [ -n "$v" ]; then PYENV_VERSION="$v" pyenv which python3.9; return; fi
  fi
  if command -v python3.9 >/dev/null 2>&1; then command -v python3.9; return; fi
  echo "Python 3.9 not found: install it (e.g. pyenv install 3.9) or set ORVA_PYTHON39" >&2
  return 1
}

# GoogleTest headers for the C++ suite, from Debian's packages when missing.
ensure_gtest() {
  if [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ]; then return; fi
  if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    echo "GoogleTest is missing: install libgtest-dev (Debian/Ubuntu) and retry" >&2
    return 1
  fi
  say "installing GoogleTest (libgtest-dev)"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
}

# Debian's Chromium for the report page's browser test, when missing (with CJK fonts, so its
# screenshots are legible). Without root it only warns: the test then skips, except under CI=true.
ensure_chromium() {
  if [ -x /usr/bin/chromium ]; then return; fi
  if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    echo "Chromium is missing: install Debian's chromium package for the report page's browser test" >&2
    return
  fi
  say "installing Chromium (chromium, fonts-noto-cjk)"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium fonts-noto-cjk >/dev/null
}

# A fingerprint of everything that goes into the installed package.
source_stamp() {
  local root
  root=$(repo_root)
  local inputs=("$root/src" "$root/python" "$root/CMakeLists.txt" "$root/pyproject.toml" "$root/scripts")
  # .gitignore decides what the wheel holds (a source archive may come without it)
  if [ -e "$root/.gitignore" ]; then inputs+=("$root/.gitignore"); fi
  find "${inputs[@]}" \
       -type f -not -path '*/__pycache__/*' -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1
}

# make_venv PYTHON DIR: a venv at DIR with the build tools and this package (plus tests)
# installed. Does nothing when DIR already holds a build of the same sources, and otherwise
# reuses DIR's build tree, so later runs only rebuild what changed.
make_venv() {
  local python=$1 dir=$2
  local stamp="$dir/.orva-source-stamp" wanted
  wanted=$(source_stamp)
  if [ -x "$dir/bin/python" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$wanted" ]; then return; fi
  local began=$SECONDS
  if [ ! -x "$dir/bin/python" ]; then
    say "set-up 1/4: creating $dir with $("$python" --version 2>&1)"
    "$python" -m venv "$dir"
    "$dir/bin/python" -m pip install -q --upgrade pip
  fi
  local nanobind="nanobind>=2.4,<4"
  "$dir/bin/python" -c 'import sys; sys.exit(sys.version_info < (3, 10))' || nanobind="nanobind>=2.4,<3"
  say "set-up 2/4: build tools (scikit-build-core, nanobind, cmake, ninja)"
  "$dir/bin/python" -m pip install -q "scikit-build-core>=0.10,<2" "$nanobind" "cmake>=3.18" ninja
  say "set-up 3/4: dependencies, then compiling the C++ modules into $dir (the first time takes several minutes; later only what changed)"
  "$dir/bin/python" -m pip install -q --no-build-isolation "$(repo_root)[test,compiled]"
  # The typed stubs are written by importing the built modules, which needs the dependencies
  # the first install of a new venv only brings: then build once more (from the same build tree).
  if ! "$dir/bin/python" -c 'import glob, os, sys, orva_backtest
sys.exit(len(glob.glob(os.path.join(os.path.dirname(orva_backtest.__file__), "modules", "*", "*.pyi"))) < 3)'; then
    "$dir/bin/python" -m pip install -q --no-build-isolation --no-deps --force-reinstall "$(repo_root)"
  fi
  # quantstats_lumi 0.1.12, the last release pip allows on Python 3.9, fails inside its CAGR on
  # runs of a few days; 1.x runs there too but declares IPython 8.22+ (Python 3.10+) only.
  if "$dir/bin/python" -c 'import sys; sys.exit(sys.version_info >= (3, 10))'; then
    "$dir/bin/python" -m pip install -q --no-deps "quantstats-lumi>=1.1,<2"
  fi
  echo "$wanted" > "$stamp"
  say "set-up 4/4: done in $((SECONDS - began)) s"
}
