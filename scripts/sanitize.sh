#!/usr/bin/env bash
# The sanitizer checks of CI, also usable by hand:
#   scripts/sanitize.sh asan   ASan+UBSan build of everything and the whole test
#                              suite (the fuzz corpora are replayed by it too)
#   scripts/sanitize.sh fuzz   clang libFuzzer build of the fuzz targets only, and
#                              a bounded run of each (FUZZ_SECONDS, default 25)
#   scripts/sanitize.sh tsan   ThreadSanitizer build of the concurrency tests
#                              only, and those tests
# Build folders: build-asan, build-fuzz, build-tsan.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
# Sanitizer builds only need to be fast to build and to run their tests.
common=(-DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -g0"
        "-DCMAKE_C_FLAGS_RELEASE=-O1 -g0" -DKESTRUNE_BUILD_BENCH=OFF)

fuzz_targets=(helper_protocol_fuzzer config_reader_fuzzer tokenizer_fuzzer hub_metadata_fuzzer
              model_folder_fuzzer audio_file_fuzzer)
# The suites that exercise threads: logging from many threads, property and
# unfair locks, the early-stop registry, result properties, the incremental
# loader, batch transcription and early stop, downloader listeners.
tsan_targets=(OrvaneCoreTests KestruneCoreTests KestruneAudioTests KestruneEngineTests
              OrvaneHubClientTests)
tsan_tests='^(LoggingTest|LoggingFormat|ConcurrencyUtilities|EarlyStopActor|PropertyLock|UnfairLock|TranscriptionResultTest|TranscriptionSegmentTest|TranscriptionTimingsTest|IncrementalLoad[A-Za-z]*|EngineTranscriptionTest|DownloaderTest)\.'

case "${1:-}" in
  asan)
    build="$root/build-asan"
    cmake -S . -B "$build" "${common[@]}" -DKESTRUNE_ASAN=ON
    cmake --build "$build" -j2
    # Impossible allocations are errors the code handles, not reports.
    export ASAN_OPTIONS="allocator_may_return_null=1:detect_leaks=1"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    (cd "$build" && ctest --output-on-failure -j2)
    ;;
  fuzz)
    build="$root/build-fuzz"
    CC=clang-16 CXX=clang++-16 cmake -S . -B "$build" "${common[@]}" -DKESTRUNE_FUZZ=ON
    cmake --build "$build" -j2 --target "${fuzz_targets[@]}"
    "$root/scripts/fuzz.sh" "$build" "${FUZZ_SECONDS:-25}"
    ;;
  tsan)
    build="$root/build-tsan"
    cmake -S . -B "$build" "${common[@]}" -DKESTRUNE_TSAN=ON
    cmake --build "$build" -j2 --target "${tsan_targets[@]}"
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
    # OpenBLAS's own threads are not instrumented, so the ordering its joins
    # give would look like races; our thread pool is what these tests are for.
    export OPENBLAS_NUM_THREADS=1
    (cd "$build" && ctest --output-on-failure -j2 -R "$tsan_tests")
    ;;
  *)
    echo "usage: scripts/sanitize.sh asan|fuzz|tsan" >&2
    exit 2
    ;;
esac
