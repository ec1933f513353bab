#!/usr/bin/env bash
# Checks that the includes of src/ point only down the layers:
#   platform -> formats, crypto, net, support -> anonymization -> steps -> component
# and that formats (which crypto builds on) includes nothing from crypto.
# Usage: check_layering.sh SOURCE_DIR. Prints every include that points up; exit 1 if any.
set -u
src="${1:?source dir}/src"
status=0
check() {
  local dir=$1 forbidden=$2
  [ -d "$src/$dir" ] || return 0
  local hits
  hits=$(grep -rn -E "#[[:space:]]*include[[:space:]]+\"($forbidden)/" "$src/$dir" || true)
  if [ -n "$hits" ]; then
    echo "$dir includes a higher layer:"
    echo "$hits"
    status=1
  fi
}
check platform "formats|crypto|net|support|anonymization|steps|component"
check formats "crypto|anonymization|steps|component"
check crypto "anonymization|steps|component"
check net "anonymization|steps|component"
check support "anonymization|steps|component"
check anonymization "steps|component"
check steps "component"
exit $status
