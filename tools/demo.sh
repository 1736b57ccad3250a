#!/usr/bin/env bash
# The quick start's demo. For now: the version line and the help.
set -euo pipefail
bin="${1:-build-release}/krcan"
"$bin" --version
"$bin" --help
