#!/bin/bash
# Runs the converter over a JSON parsing suite: y_ files must be accepted, n_ files rejected with
# the reader's message, i_ files either way; every run ends within a second without a crash.
tool=$1
suite=$2
if [ ! -d "$suite" ]; then
  echo "suite not found: $suite (skipped)"
  exit 77
fi
failed=0
count=0
for f in "$suite"/*.json; do
  name=$(basename "$f")
  err=$(timeout 1 "$tool" "$f" 2>&1 >/dev/null)
  rc=$?
  count=$((count + 1))
  case $name in
    y_*) ok=$([ $rc -eq 0 ] && echo 1) ;;
    n_*) ok=$([ $rc -eq 1 ] && [ "$err" = "vxpacket: Invalid JSON string." ] && echo 1) ;;
    *) ok=$([ $rc -eq 0 ] || [ $rc -eq 1 ] && echo 1) ;;
  esac
  if [ -z "$ok" ]; then
    echo "FAIL $name: exit $rc: $err"
    failed=$((failed + 1))
  fi
done
echo "$count files, $failed failed"
[ $failed -eq 0 ]
