#!/usr/bin/env bash
# The main job: for now the named-entry runner lists what it can run.
set -euo pipefail
build=${1:-build}
exec "$build/tools/entry_host/entry_host"
