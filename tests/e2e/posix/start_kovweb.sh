# Sourced by the end-to-end scripts: a work folder, kovweb started on a free high port, and
# at exit a kill of whatever server is still running and the folder's removal.

work=$(mktemp -d)
server_pid=""
cleanup() {
  if [[ -n $server_pid ]]; then
    kill -KILL "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Starts "$kovweb" with --port and the arguments after the log file's path, on a random high
# port, trying another when one is taken: sets port and server_pid and returns 0 once it
# listens, or returns 1 with the program's output in the log.
start_kovweb() {
  local log=$1
  shift
  port=""
  for _ in 1 2 3 4 5; do
    local try_port=$((20000 + RANDOM % 40000))
    "$kovweb" --port "$try_port" "$@" >"$log" 2>&1 &
    server_pid=$!
    for _ in $(seq 200); do
      if grep -q "Listening\.\.\." "$log"; then
        port=$try_port
        return 0
      fi
      kill -0 "$server_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  done
  return 1
}
