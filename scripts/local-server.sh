# Sourced by the scripts: loopback HTTP servers of a folder (scripts/serve_package.py).
#   serve_start ROOT PORT_FILE LOG [serve_package.py options...]
#       starts one on 127.0.0.1 and a free port and sets served_url (http://127.0.0.1:PORT);
#       prints its log and returns 1 when it did not start
#   serve_stop_all
#       stops every server serve_start started
serve_pids=()

serve_start() {
  local root=$1 port_file=$2 log=$3
  shift 3
  python3 "$(dirname "${BASH_SOURCE[0]}")/serve_package.py" --root "$root" \
    --port-file "$port_file" "$@" 2>"$log" &
  serve_pids+=($!)
  local _
  for _ in $(seq 100); do
    [ -s "$port_file" ] && break
    kill -0 "${serve_pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -s "$port_file" ]; then
    cat "$log" >&2
    return 1
  fi
  served_url="http://127.0.0.1:$(cat "$port_file")"
}

serve_stop_all() {
  local pid
  for pid in "${serve_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  serve_pids=()
}
