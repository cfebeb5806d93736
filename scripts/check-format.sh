#!/usr/bin/env bash
# Fails when a C or C++ source of the repository differs from what clang-format makes of it
# with the repository's .clang-format. `clang-format -i $(git ls-files '*.cpp' '*.h' '*.c')`
# fixes it.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.cpp' '*.h' '*.c' | xargs -0 clang-format --dry-run -Werror
