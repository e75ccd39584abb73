#!/bin/sh
# Instructions per read of each document, for Corvandel's reader and its
# peers, counted by callgrind around ReadOnce in reader_count. Each count is
# the difference between N+1 reads and 1 read, divided by N: the first read,
# which fills the caches a reader keeps per thread, drops out.
#
#   bench/count_reader_instructions.sh [build directory]   (default build/release)
set -eu
build=${1:-build/release}
program=$build/bench/reader_count
[ -x "$program" ] || { echo "no $program: build the target reader_count first" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind is needed (apt-get install valgrind)" >&2; exit 1; }

count() {  # reader document reads -> instructions in ReadOnce
  valgrind --tool=callgrind --toggle-collect='*ReadOnce*' --callgrind-out-file=/dev/null \
    "$program" "$1" "$2" "$3" 2>&1 | sed -n 's/.*Collected : *\([0-9]*\).*/\1/p'
}

for document in answer minimal 5mb; do
  reads=2000
  [ "$document" = 5mb ] && reads=2
  for reader in ours pugixml expat; do
    one=$(count "$reader" "$document" 1)
    many=$(count "$reader" "$document" $((reads + 1)))
    [ -n "$one" ] && [ -n "$many" ] || { echo "callgrind gave no count for $reader $document" >&2; exit 1; }
    echo "$document $reader $(( (many - one) / reads ))"
  done
done | awk '{ n[$1 " " $2] = $3; order[++k] = $1 " " $2 }
  END { for (i = 1; i <= k; i++) { split(order[i], f, " ");
          printf "%-8s %-8s %12d instructions per read  (%.2fx pugixml)\n", f[1], f[2], n[order[i]], n[order[i]] / n[f[1] " pugixml"] } }'
