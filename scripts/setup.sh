#!/usr/bin/env bash
# Installs the build and test dependencies that this machine lacks (Debian packages; needs root or
# sudo): g++, CMake, Ninja, ccache, clang with libFuzzer, lld, clang-format, GoogleTest and Google
# Benchmark, and for the Windows build the mingw-w64 cross compiler, GoogleTest's sources and wine.
set -euo pipefail

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v ccache >/dev/null || need+=(ccache)  # CI's compiler cache
command -v g++ >/dev/null || need+=(g++)
command -v clang++ >/dev/null || need+=(clang)
command -v ld.lld >/dev/null || need+=(lld)  # the faster linker; the build falls back without it
command -v clang-format >/dev/null || need+=(clang-format)
command -v python3 >/dev/null || need+=(python3)
command -v git >/dev/null || need+=(git)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev libgmock-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-dev)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
command -v wine64 >/dev/null || [ -x /usr/lib/wine/wine64 ] || need+=(wine64)
[ ${#need[@]} -gt 0 ] || exit 0

echo "installing: ${need[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${need[@]}"
