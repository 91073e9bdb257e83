#!/usr/bin/env bash
# The main job: builds a model folder from a generated checkpoint, starts the
# helper server on it, sends it requests the way the host application does
# (a real transcription of ../shared/audio/jfk.flac among them), and prints
# its answers.
#
#   scripts/demo.sh [model-folder]
#
# The generated model has random weights: the whole pipeline runs, but the
# text it answers with is meaningless (often empty). The build folder is
# ./build unless KESTRUNE_BUILD_DIR names another.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KESTRUNE_BUILD_DIR:-$root/build}"
helper="$build/ZandrelANEHelper/ZandrelANEHelper"
for tool in "$helper" "$build/tools/kestrune-make-test-model/kestrune-make-test-model" \
            "$build/tools/kestrune-convert/kestrune-convert"; do
  if [ ! -x "$tool" ]; then
    echo "demo: $tool not found; build first (cmake --build build -j2)" >&2
    exit 1
  fi
done
shared="$root/../shared"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
models="${1:-}"
if [ -z "$models" ]; then
  models="$work/models"
  echo "== generating a checkpoint with random weights and converting it"
  "$build/tools/kestrune-make-test-model/kestrune-make-test-model" "$work/checkpoint" \
    --tokenizer "$shared/tokenizers/multilingual"
  "$build/tools/kestrune-convert/kestrune-convert" "$work/checkpoint" "$models"
fi

# jfk.flac as 16 kHz mono 32-bit float samples.
ffmpeg -v quiet -i "$shared/audio/jfk.flac" -f f32le -ac 1 -ar 16000 "$work/jfk.pcm"
jfk_samples=$(( $(stat -c %s "$work/jfk.pcm") / 4 ))

# The requests: jfk.flac, one second of silence (16000 float samples of 0.0,
# 64000 bytes), a request in German without audio, a malformed line, then quit.
{
  printf '{"cmd":"transcribe","samples":%d}\n' "$jfk_samples"
  cat "$work/jfk.pcm"
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
echo "== answers (standard output; the model is random, so its text means nothing)"
cat "$work/answers"
echo "== diagnostics (standard error)"
cat "$work/diagnostics"
echo "== exit status: $status"
exit "$status"
