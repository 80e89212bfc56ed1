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
