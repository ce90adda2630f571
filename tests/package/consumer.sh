#!/usr/bin/env bash
# Programs of someone else's, built against the installed package: the
# examples as a project of their own found through find_package(qormqtt), the
# publisher once more and the README's quick start through pkg-config. All
# talk to the broker fixture.
#   consumer.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A failing step shows what the broker fixture saw.
trap 'echo "--- failed at line $LINENO; broker fixture log (last 60 lines):"; tail -n 60 "$build/broker/mosquitto.log" 2>/dev/null' ERR
# Whether a command's output holds a line matching the pattern. Not
# "command | grep -q": grep leaves at the first match, and a command that
# writes line by line (ldd does) then dies of SIGPIPE, which pipefail reports
# as a failure now and then.
prints() { local pattern=$1; shift; grep -q -- "$pattern" <<<"$("$@")"; }

# The library alone configures and builds without what the check runner and
# the tests need (pugixml, inih, GoogleTest); here as a shared library.
# Unoptimised, without debug information and as a unity build: what is
# checked here (dependencies, SONAME, exports) depends on none of them, and
# this build is the longest step of the test run (about a sixth of the time
# this way). Each source still compiles on its own in the presets' builds.
cmake -S "$source" -B "$work/library-only" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG= \
  -DCMAKE_UNITY_BUILD=ON -DQOR_BUILD_CHECKS=OFF -DQOR_BUILD_TESTS=OFF \
  -DQOR_BUILD_EXAMPLES=OFF -DQOR_BUILD_TOOLS=OFF -DBUILD_SHARED_LIBS=ON >/dev/null
if grep -qiE "^(pugixml|INIH|GTest|CLI11)[^:]*:" "$work/library-only/CMakeCache.txt"; then
  echo "the library alone looked for a dependency of the checks or the tools:"
  grep -iE "^(pugixml|INIH|GTest|CLI11)" "$work/library-only/CMakeCache.txt"
  exit 1
fi
cmake --build "$work/library-only" -j "$(nproc)" --target qormqtt >/dev/null
cmake --install "$work/library-only" --prefix "$work/prefix-shared" >/dev/null
so=$(find "$work/prefix-shared" -name 'libqormqtt.so.*.*.*')
major=$(sed -n 's/^project(qormqtt VERSION \([0-9]*\)\..*/\1/p' "$source/CMakeLists.txt")
if ! prints "SONAME.*\[libqormqtt.so.$major\]" readelf -d "$so"; then
  echo "no SONAME libqormqtt.so.$major:"; readelf -d "$so" | grep SONAME; exit 1
fi
# The public API is exported, the internals are not.
exported=$(nm -D --defined-only -C "$so")
for symbol in "qor::TQORMQTTClient::Publish" "qor::BuildPublishPacket" "qor::DecodeProperties"; do
  grep -qF "$symbol" <<<"$exported" || { echo "$symbol is not exported"; exit 1; }
done
if grep -E "qor::(TQORMQTTSession|TQORMQTTConnection|TPacketFramer|TWriteQueue)::" <<<"$exported"; then
  echo "internal symbols are exported"; exit 1
fi
cmake -S "$source/examples" -B "$work/consumer-shared" -DCMAKE_PREFIX_PATH="$work/prefix-shared" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/consumer-shared" -j "$(nproc)" >/dev/null
prints "libqormqtt.so.$major" ldd "$work/consumer-shared/qor_publish"
"$work/consumer-shared/qor_publish" "qortest/consumer/shared/$$" "through libqormqtt.so"
"$work/consumer-shared/qor_publish" "qortest/consumer/shared/$$" "x" 127.0.0.1 1 2>"$work/refused" && exit 1
grep -q "ESocketError" "$work/refused"  # an error of the library is caught by its class across the boundary

cmake --install "$build" --prefix "$work/prefix" >/dev/null
prints "^qor_pub " "$work/prefix/bin/qor_pub" --version  # the tools are installed with the library
prints "^qor_sub " "$work/prefix/bin/qor_sub" --version
cmake -S "$source/examples" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/consumer" -j "$(nproc)" >/dev/null
"$work/consumer/qor_publish" "qortest/consumer/cmake/$$" "found by find_package"

pcdir=$(dirname "$(find "$work/prefix" -name qormqtt.pc)")
pc() { PKG_CONFIG_PATH="$pcdir" pkg-config "$@" qormqtt; }
# Plain --cflags --libs, as most build scripts ask, links the static library;
# the consumer's own standard (a later one here) is not overridden.
if grep -q -- "-std=" <<<"$(pc --cflags)"; then echo "the package forces a C++ standard: $(pc --cflags)"; exit 1; fi
# shellcheck disable=SC2046
g++ -std=c++23 "$source/examples/publish.cpp" -o "$work/publish-pc" $(pc --cflags --libs)
"$work/publish-pc" "qortest/consumer/pkg-config/$$" "found by pkg-config"
# An older standard is told what the headers need rather than failing deep inside them.
# shellcheck disable=SC2046
if g++ -std=c++17 -fsyntax-only "$source/examples/publish.cpp" $(pc --cflags) 2>"$work/cxx17"; then
  echo "the headers compiled as C++17"; exit 1
fi
grep -q "need C++20 or later" "$work/cxx17" || { echo "C++17 was not told what is needed:"; head "$work/cxx17"; exit 1; }
grep -qx "License: MIT" "$pcdir/qormqtt.pc" || { echo "the package does not name its licence"; exit 1; }
[[ -f "$work/prefix/share/doc/qormqtt/LICENSE" ]] || { echo "the licence is not installed"; exit 1; }
# The README's quick start, as a newcomer would paste it.
awk '/^## Quick start/ {on=1} on && /^```cpp/ {code=1; next} code && /^```/ {exit} code' \
  "$source/README.md" >"$work/quickstart.cpp"
# shellcheck disable=SC2046
g++ -std=c++20 "$work/quickstart.cpp" -o "$work/quickstart" $(pc --cflags --libs)
prints "^plant/temp: 21.5$" "$work/quickstart"
echo "consumer: built and published through find_package (static and shared) and pkg-config; the README's quick start runs"
