#!/usr/bin/env bash
# Builds the hot-key engine natively (release), installing what it needs.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_native_tools
native_build "$ROOT/build/release" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
echo "== built: $ROOT/build/release"
