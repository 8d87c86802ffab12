#!/usr/bin/env bash
# Builds the frame decoder fuzz target with clang (libFuzzer, ASan, UBSan) and runs it.
# Usage: tests/fuzz/run_frame_fuzz.sh [seconds=60] [build dir=build-fuzz]
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
out=${2:-build-fuzz}
mkdir -p "$out/corpus"
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I. tcpcore/wire.cpp tests/fuzz/frame_decoder_fuzz.cpp -o "$out/frame_decoder_fuzz"
"$out/frame_decoder_fuzz" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=1024 \
  "$out/corpus"
