# Process bookkeeping shared by the benchmark scripts: every process a script starts in the
# background is recorded, so that its clean-up can stop them all. Sourced, not run.

STARTED_PIDS=()

# Starts a command in the background, its output into a log, and records its pid in LAST_PID.
start_recorded() {
    local log="$1"
    shift
    "$@" >"$log" 2>&1 &
    LAST_PID=$!
    STARTED_PIDS+=("$LAST_PID")
}

# Stops every recorded process and waits for each to end.
stop_all_recorded() {
    local pid
    for pid in "${STARTED_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${STARTED_PIDS[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
}
