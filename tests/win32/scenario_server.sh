# Sourced by run.sh. The network scenario rows of net_scenarios_test.cc are answered by a Linux
# program (tools/scenario_server.cc) on a free port of 127.0.0.1; this builds it in a Linux build
# folder of its own, starts it and exports its port as KVT_SCENARIO_PORT, which Wine passes on to
# the Windows test program.
#
#   start_scenario_server SOURCE_DIR LINUX_BUILD_DIR LOG_DIR   (returns non-zero on failure)
#   stop_scenario_server
# KVT_SCENARIO_SERVER, when set, names an already built kvt_scenario_server to use instead.

SCENARIO_SERVER_PID=

start_scenario_server() {
  local src=$1 build=$2 log=$3 server=${KVT_SCENARIO_SERVER:-}
  if [ -z "$server" ]; then
    cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DKVT_VENDOR_HOST=127.0.0.1 -DKVT_PROBE_HOST=localhost >/dev/null || return 1
    ninja -C "$build" -j2 kvt_scenario_server >/dev/null || return 1
    server="$build/tests/kvt_scenario_server"
  fi
  "$server" 0 >"$log/scenario-server.out" 2>"$log/scenario-server.err" &
  SCENARIO_SERVER_PID=$!
  local i
  for i in $(seq 200); do
    grep -q '^port ' "$log/scenario-server.out" 2>/dev/null && break
    kill -0 "$SCENARIO_SERVER_PID" 2>/dev/null || return 1
    sleep 0.05
  done
  KVT_SCENARIO_PORT=$(awk '/^port /{print $2}' "$log/scenario-server.out")
  [ -n "$KVT_SCENARIO_PORT" ] || return 1
  export KVT_SCENARIO_PORT
}

stop_scenario_server() {
  if [ -n "$SCENARIO_SERVER_PID" ]; then
    kill "$SCENARIO_SERVER_PID" 2>/dev/null
    wait "$SCENARIO_SERVER_PID" 2>/dev/null
    SCENARIO_SERVER_PID=
  fi
}
