#!/usr/bin/env bash
# Sets everything up, builds, and runs the main example.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
PYTHONPATH=build/python /usr/bin/python3 examples/main.py
