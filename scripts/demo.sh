#!/usr/bin/env bash
# Sets up, builds and runs map_generator on a generated two-storey building:
# the LAS scan, map.pcd and both floors' maps end up in demo_output/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
mkdir -p demo_output
build/make_building demo_output/building.las --preset demo --layout demo_output/layout.json
build/map_generator examples/demo/config.json
echo
echo "Maps written to $(pwd)/demo_output/maps:"
ls -l demo_output/maps
