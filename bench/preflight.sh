# Shared start of the benchmark scripts: `preflight NAME PROGRAM TOOL...`
# stops the script with a message when a tool or the program to time is
# missing, and makes a scratch folder, $scratch, removed when the script ends.
preflight() {
  local name=$1 program=$2
  shift 2
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "$name: $tool is missing" >&2; exit 1; }
  done
  [ -x "$program" ] || { echo "$name: $program is not a built program" >&2; exit 1; }
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
}

# One timed run of a command, with its output dropped: "seconds s, KB KB"
# (wall time and peak resident set), "timeout" after $limit seconds, or
# "error (status N)" when the command failed (grep and rg end with status 1
# when they find nothing, 2 on an error, as when rg -P gives up on a line).
measure() {
  local timing="$scratch/time"
  if timeout "$limit" /usr/bin/time -o "$timing" -f '%e s, %M KB' "$@" >/dev/null 2>&1; then
    cat "$timing"
  else
    local status=$?
    if [ "$status" -eq 124 ]; then
      echo "timeout (${limit} s)"
    elif [ "$status" -ge 2 ]; then
      echo "error (status $status)"
    else
      tail -1 "$timing"
    fi
  fi
}
