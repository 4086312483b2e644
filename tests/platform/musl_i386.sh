#!/usr/bin/env bash
# The two modules on their own platform: CPython 3.11 on 32-bit x86 with musl libc.
#
# Builds, from Debian's source packages (apt-get source; needs root the first time):
#   musl 1.2.3 for i386 with SSE2 arithmetic (-march=pentium-m -mfpmath=sse), zlib and
#   libffi against it, and CPython 3.11.2 against those;
# then builds with zig's clang for x86-linux-musl (its libc++; libc is the musl above,
# linked dynamically): corvane and halvorn for that interpreter, the native test suite of
# the cores, and the straightforward evaluations. It runs in that interpreter the module
# tests that need neither numpy nor matplotlib (among them the bit-exact comparison of
# 5,000 random prices per module with the straightforward evaluation built for the same
# target and libc), the native suite, and compares the reference prices with the x86_64
# glibc build's (build/prices-64.txt, written by tests/run.sh; built here if missing).
#
# Everything lands in build/musl-i386 and each step is skipped when its result is there,
# so a rerun takes seconds. Run from anywhere: bash tests/platform/musl_i386.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
B=$ROOT/build/musl-i386
P=$B/prefix           # musl, zlib, libffi
PYHOME=$B/python      # CPython
PY=$PYHOME/bin/python3.11
STAMPS=$B/stamps
JOBS=$(nproc)
ARCH_FLAGS="-march=pentium-m -mfpmath=sse"
mkdir -p "$B/src" "$B/work" "$STAMPS"

# What the stage needs from the machine (cmake, ninja and zig it installs with pip): gcc
# that builds 32-bit code (g++-multilib, for musl), GoogleTest's sources (libgtest-dev, for
# the native suite) and Debian's archive keyring (for the source packages). Installed
# where it is root (as on CI); otherwise named in one line.
missing=()
echo 'int main(){}' | gcc -m32 -x c -o /dev/null - 2>/dev/null || missing+=(g++-multilib)
[ -d /usr/src/googletest/googletest ] || missing+=(libgtest-dev)
[ -f /usr/share/keyrings/debian-archive-keyring.gpg ] || missing+=(debian-archive-keyring)
if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "musl i386 stage: missing ${missing[*]} (sudo apt-get install ${missing[*]})" >&2
    exit 1
  fi
  echo "musl i386 stage: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q > /dev/null
  apt-get install -y -q --no-install-recommends "${missing[@]}" > /dev/null
fi

step() { printf '\n--- musl i386: %s\n' "$*"; }
done_before() { [ -f "$STAMPS/$1" ]; }
mark_done() { touch "$STAMPS/$1"; }
run_logged() {  # log file, command...: the command's output goes to the log, shown on failure
  local log=$1
  shift
  if ! "$@" > "$log" 2>&1; then
    tail -40 "$log" >&2
    echo "failed: $* (log: $log)" >&2
    exit 1
  fi
}

# ---- sources -------------------------------------------------------------------------
MUSL_TAR=musl_1.2.3.orig.tar.gz
ZLIB_TAR=zlib_1.2.13.dfsg.orig.tar.bz2
FFI_TAR=libffi_3.4.4.orig.tar.gz
PYTHON_TAR=python3.11_3.11.2.orig.tar.gz
if ! done_before sources; then
  step "fetching the sources with apt-get source"
  if [ "$(id -u)" -ne 0 ]; then
    echo "fetching Debian sources needs root (a temporary deb-src entry and apt-get update)" >&2
    exit 1
  fi
  LIST=/etc/apt/sources.list.d/musl-i386-stage-src.sources
  cleanup() { rm -f "$LIST"; apt-get update -q > /dev/null 2>&1 || true; }
  trap cleanup EXIT
  cat > "$LIST" <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  command -v dpkg-source > /dev/null || run_logged "$B/apt.log" apt-get install -y -q dpkg-dev
  run_logged "$B/apt.log" apt-get update -q
  (cd "$B/src" && run_logged "$B/apt-source.log" apt-get source --download-only \
    musl=1.2.3-1 libffi=3.4.4-1 zlib=1:1.2.13.dfsg-1 python3.11)
  for tarball in $MUSL_TAR $ZLIB_TAR $FFI_TAR $PYTHON_TAR; do
    [ -s "$B/src/$tarball" ] || { echo "apt-get source did not deliver $tarball" >&2; exit 1; }
  done
  cleanup
  trap - EXIT
  mark_done sources
fi

# ---- musl, zlib, libffi ----------------------------------------------------------------
CC_MUSL=$P/bin/i386-musl-cc
if ! done_before musl; then
  step "musl 1.2.3 for i386, SSE2 arithmetic"
  rm -rf "$B/work/musl-1.2.3" "$P"
  tar -xzf "$B/src/$MUSL_TAR" -C "$B/work"
  (cd "$B/work/musl-1.2.3" &&
    run_logged "$B/musl.log" sh -c "./configure --target=i386-linux-musl --prefix='$P' \
      --syslibdir='$P/lib' CC='gcc -m32' AR=ar RANLIB=ranlib CFLAGS='-O2 $ARCH_FLAGS' &&
      make -j$JOBS && make install")
  # The kernel's headers (x86's asm headers serve 32 and 64 bits alike).
  ln -sfn /usr/include/linux "$P/include/linux"
  ln -sfn /usr/include/asm-generic "$P/include/asm-generic"
  ln -sfn /usr/include/x86_64-linux-gnu/asm "$P/include/asm"
  # gcc on musl's specs; it answers configure's question about the platform triplet.
  mkdir -p "$P/bin"
  cat > "$CC_MUSL" <<EOF
#!/bin/sh
for arg; do
  case "\$arg" in -print-multiarch|--print-multiarch) echo i386-linux-musl; exit 0;; esac
done
exec gcc -m32 -specs "$P/lib/musl-gcc.specs" -Wl,-melf_i386 "\$@"
EOF
  chmod +x "$CC_MUSL"
  mark_done musl
fi
if ! done_before zlib; then
  step "zlib"
  rm -rf "$B/work/zlib-1.2.13.dfsg"
  tar -xjf "$B/src/$ZLIB_TAR" -C "$B/work"
  (cd "$B/work/zlib-1.2.13.dfsg" &&
    run_logged "$B/zlib.log" sh -c "CC='$CC_MUSL' CFLAGS='-O2 -fPIC $ARCH_FLAGS' \
      ./configure --prefix='$P' && make -j$JOBS && make install")
  mark_done zlib
fi
if ! done_before libffi; then
  step "libffi"
  rm -rf "$B/work/libffi-3.4.4"
  tar -xzf "$B/src/$FFI_TAR" -C "$B/work"
  (cd "$B/work/libffi-3.4.4" &&
    run_logged "$B/libffi.log" sh -c "CC='$CC_MUSL' CFLAGS='-O2 $ARCH_FLAGS' ./configure \
      --prefix='$P' --host=i686-linux-musl --build=x86_64-linux-gnu --disable-static \
      --disable-docs --disable-multi-os-directory && make -j$JOBS && make install")
  mark_done libffi
fi

# ---- CPython 3.11 ---------------------------------------------------------------------
if ! done_before python; then
  step "CPython 3.11.2 for i386 musl (a few minutes)"
  rm -rf "$B/work/Python-3.11.2" "$PYHOME"
  tar -xzf "$B/src/$PYTHON_TAR" -C "$B/work"
  (cd "$B/work/Python-3.11.2" &&
    run_logged "$B/python.log" sh -c "CC='$CC_MUSL' CFLAGS='$ARCH_FLAGS' CPPFLAGS='-I$P/include' \
      LDFLAGS='-L$P/lib -Wl,-rpath,$P/lib' ./configure --prefix='$PYHOME' --without-ensurepip &&
      make -j$JOBS && make install")
  "$PY" - <<'EOF'
import ctypes, sysconfig, zlib
assert sysconfig.get_config_var("EXT_SUFFIX") == ".cpython-311-i386-linux-musl.so", sysconfig.get_config_var("EXT_SUFFIX")
assert sysconfig.get_config_var("X87_DOUBLE_ROUNDING") == 0
EOF
  mark_done python
fi

# ---- zig's clang, pybind11, and the pure-Python test dependencies -----------------------
TOOLS=$B/tools
if ! done_before tools; then
  step "zig (PyPI ziglang), pybind11 3.0, pytest, hypothesis, mpmath"
  run_logged "$B/tools.log" python3 -m pip install --quiet --disable-pip-version-check \
    --target "$TOOLS" ziglang "pybind11>=3.0.2,<3.1"
  run_logged "$B/site.log" python3 -m pip install --quiet --disable-pip-version-check \
    --target "$B/site" --only-binary=:all: --implementation py --python-version 3.11 \
    pytest hypothesis mpmath
  mkdir -p "$B/bin"
  # zig's clang for x86-linux-musl, linked dynamically against the musl built here. When
  # linking, libgcc's integer helpers (gcc's own 32-bit libgcc.a, libc-independent) come
  # before zig's compiler-rt: compiler-rt is one object that also defines exp and log, and
  # whatever pulls it in for a 64-bit division would take those instead of musl's.
  LIBGCC=$(gcc -m32 -print-libgcc-file-name)
  for tool in cc c++; do
    cat > "$B/bin/zig-$tool" <<EOF
#!/bin/sh
zig() { exec "$TOOLS/ziglang/zig" $tool -target x86-linux-musl -dynamic \
  -Wl,-dynamic-linker,$P/lib/ld-musl-i386.so.1 "\$@"; }
case " \$* " in
  *" -c "*|*" -E "*|*" -S "*) zig "\$@" ;;
  *) zig "\$@" "$LIBGCC" ;;
esac
EOF
  done
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s/ziglang/zig" %s "$@"\n' "$TOOLS" "$tool" > "$B/bin/zig-$tool"
  done
  chmod +x "$B"/bin/zig-*
  cat > "$B/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER $B/bin/zig-cc)
set(CMAKE_CXX_COMPILER $B/bin/zig-c++)
set(CMAKE_AR $B/bin/zig-ar)
set(CMAKE_RANLIB $B/bin/zig-ranlib)
# Libraries and headers from the target only: find_library(m) must not take the host's
# glibc libm.
set(CMAKE_FIND_ROOT_PATH $P)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
EOF
  mark_done tools
fi
export PYTHONPATH="$TOOLS:$B/site"

# ---- the modules, the native suite, the straightforward evaluations ----------------------
step "the modules and the native tests, built by zig for x86-linux-musl"
python3 -m pip install --quiet --disable-pip-version-check cmake ninja > /dev/null
run_logged "$B/configure.log" cmake -S "$ROOT" -B "$B/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$B/toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE="$PY" -DPython_INCLUDE_DIR="$PYHOME/include/python3.11" \
  -DBUILD_TOOLKIT=OFF -DBUILD_NATIVE_TESTS=ON \
  -DGTEST_SOURCE_DIR=/usr/src/googletest/googletest
run_logged "$B/build.log" cmake --build "$B/build"
mkdir -p "$B/modules"
cp "$B"/build/corvane.cpython-311-i386-linux-musl.so "$B"/build/halvorn.cpython-311-i386-linux-musl.so "$B/modules/"
# Every binary takes the C math library from musl's libc.so at run time, and nothing from
# glibc: the functions the formulas call must be undefined in each of them.
for binary in "$B"/modules/*.so "$B"/build/tests/native/libstraightforward.so \
              "$B"/build/tests/native/libcore_probe.so "$B"/build/tests/native/core_tests; do
  if readelf -d "$binary" | grep -q 'libm.so.6\|libc.so.6'; then
    echo "$binary is linked against glibc" >&2
    exit 1
  fi
  imported=$(readelf --dyn-syms -W "$binary" | awk '$7 == "UND" {print $8}')
  functions="exp log pow erfc"
  [[ $binary == *halvorn* ]] || functions="$functions tgamma"   # Merton has no tgamma
  for function in $functions; do
    if ! grep -qx "$function" <<< "$imported"; then
      echo "$binary does not take $function from musl's libc.so" >&2
      exit 1
    fi
  done
done

step "native tests of the cores (musl)"
ctest --test-dir "$B/build" --output-on-failure

step "Python tests in the musl interpreter (those that need neither numpy nor matplotlib)"
# The stubs, typing, toolkit and accuracy tests need numpy, matplotlib or mypy, which have
# no i386 musl builds; everything that exercises the two modules runs.
PYTHONPATH="$B/modules:$PYTHONPATH" STRAIGHTFORWARD_LIB="$B/build/tests/native/libstraightforward.so" \
  "$PY" -m pytest -p no:cacheprovider -q \
  tests/test_kou.py tests/test_merton.py tests/test_bit_exact.py tests/test_published_values.py \
  tests/test_python_boundary.py tests/test_reliability.py

step "reference prices, i386 musl against x86_64 glibc"
if [ ! -f "$ROOT/build/prices-64.txt" ]; then
  cmake -S "$ROOT" -B "$ROOT/build/native" -G Ninja -DBUILD_PYTHON_MODULES=OFF -DBUILD_NATIVE_TESTS=ON > /dev/null
  cmake --build "$ROOT/build/native" --target reference_prices > /dev/null
  "$ROOT/build/native/tests/native/reference_prices" > "$ROOT/build/prices-64.txt"
fi
"$B/build/tests/native/reference_prices" > "$B/prices-musl.txt"
python3 tests/native/compare_builds.py "$ROOT/build/prices-64.txt" "$B/prices-musl.txt"
