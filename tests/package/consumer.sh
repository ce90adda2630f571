#!/usr/bin/env bash
# A program of someone else's, built against the installed package: the
# examples as a project of their own found through find_package(qormqtt), and
# the publisher once more through pkg-config. Both publish to the fixture.
#   consumer.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

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
echo "consumer: built and published through find_package and pkg-config"
