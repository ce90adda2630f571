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
trap 'echo "--- broker fixture log (last 60 lines):"; tail -n 60 "$build/broker/mosquitto.log" 2>/dev/null' ERR

# The library alone configures and builds without what the check runner and
# the tests need (pugixml, inih, GoogleTest).
cmake -S "$source" -B "$work/library-only" -DQOR_BUILD_CHECKS=OFF -DQOR_BUILD_TESTS=OFF \
  -DQOR_BUILD_EXAMPLES=OFF >/dev/null
if grep -qiE "^(pugixml|INIH|GTest)[^:]*:" "$work/library-only/CMakeCache.txt"; then
  echo "the library alone looked for a dependency of the checks:"
  grep -iE "^(pugixml|INIH|GTest)" "$work/library-only/CMakeCache.txt"
  exit 1
fi
cmake --build "$work/library-only" -j "$(nproc)" --target qormqtt >/dev/null

cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$source/examples" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/consumer" -j "$(nproc)" >/dev/null
"$work/consumer/qor_publish" "qortest/consumer/cmake/$$" "found by find_package"

pcdir=$(dirname "$(find "$work/prefix" -name qormqtt.pc)")
# shellcheck disable=SC2046
g++ "$source/examples/publish.cpp" -o "$work/publish-pc" \
  $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs --static qormqtt)
"$work/publish-pc" "qortest/consumer/pkg-config/$$" "found by pkg-config"
# The README's quick start, as a newcomer would paste it.
awk '/^### Quick start/ {on=1} on && /^```cpp/ {code=1; next} code && /^```/ {exit} code' \
  "$source/README.md" >"$work/quickstart.cpp"
# shellcheck disable=SC2046
g++ "$work/quickstart.cpp" -o "$work/quickstart" \
  $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs --static qormqtt)
"$work/quickstart" | grep -qx "plant/temp: 21.5"
echo "consumer: built and published through find_package and pkg-config; the README's quick start runs"
