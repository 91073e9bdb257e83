#!/usr/bin/env bash
# The main job: starts the helper server on a model folder, sends it a few
# requests the way the host application does, and prints its answers.
#
#   scripts/demo.sh [model-folder]
#
# Without a model folder a placeholder folder is made (three empty compiled
# model folders), which the helper's current engine accepts. The build folder
# is ./build unless KESTRUNE_BUILD_DIR names another.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
helper="${KESTRUNE_BUILD_DIR:-$root/build}/ZandrelANEHelper/ZandrelANEHelper"
if [ ! -x "$helper" ]; then
  echo "demo: $helper not found; build first (cmake --build build -j2)" >&2
  exit 1
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
models="${1:-}"
if [ -z "$models" ]; then
  models="$work/models"
  mkdir -p "$models"/{MelSpectrogram,AudioEncoder,TextDecoder}.mlmodelc
fi

# The requests: one second of silence (16000 float samples of 0.0, 64000
# bytes), a request in German without audio, a malformed line, then quit.
{
  printf '{"cmd":"transcribe","samples":16000}\n'
  head -c 64000 /dev/zero
  printf '{"cmd":"transcribe","samples":0,"language":"de"}\n'
  printf '{"cmd":"transcribe","samples":-1}\n'
  printf '{"cmd":"quit"}\n'
} > "$work/requests"

echo "== helper: $helper"
echo "== model folder: $models"
status=0
ZANDREL_ANE_MODEL_PATH="$models" "$helper" < "$work/requests" > "$work/answers" 2> "$work/diagnostics" || status=$?
echo "== answers (standard output)"
cat "$work/answers"
echo "== diagnostics (standard error)"
cat "$work/diagnostics"
echo "== exit status: $status"
exit "$status"
