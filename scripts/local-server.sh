# Sourced by the scripts: loopback HTTP servers of a folder (scripts/serve_package.py), and HTTPS
# in front of one (scripts/tls_front.py: nginx, as the HTTPS tests use it).
#   serve_start ROOT PORT_FILE LOG [serve_package.py options...]
#       starts one on 127.0.0.1 and a free port and sets served_url (http://127.0.0.1:PORT);
#       prints its log and returns 1 when it did not start
#   tls_start UPSTREAM_URL WORK CERT KEY
#       puts HTTPS with that certificate in front of a server serve_start started and sets
#       served_tls_url (https://127.0.0.1:PORT); nginx's files and log go to WORK; returns 1 when
#       it did not start
#   serve_stop_all
#       stops every server serve_start or tls_start started, as the script's exit does
#       (scripts/at-exit.sh)
source "$(dirname "${BASH_SOURCE[0]}")/at-exit.sh"
serve_pids=()
at_exit serve_stop_all

# _serve_started FILE TENTHS: waits up to TENTHS tenths of a second, while the server started
# last lives, for it to write FILE; false when it did not.
_serve_started() {
  local file=$1 tenths=$2 _
  for _ in $(seq "$tenths"); do
    [ -s "$file" ] && return 0
    kill -0 "${serve_pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  [ -s "$file" ]
}

serve_start() {
  local root=$1 port_file=$2 log=$3
  shift 3
  python3 "$(dirname "${BASH_SOURCE[0]}")/serve_package.py" --root "$root" \
    --port-file "$port_file" "$@" 2>"$log" &
  serve_pids+=($!)
  if ! _serve_started "$port_file" 100; then
    cat "$log" >&2
    return 1
  fi
  served_url="http://127.0.0.1:$(cat "$port_file")"
}

tls_start() {
  local upstream=${1##*:} work=$2 cert=$3 key=$4
  rm -rf "$work"
  mkdir -p "$work"
  python3 "$(dirname "${BASH_SOURCE[0]}")/tls_front.py" --upstream "$upstream" --work "$work" \
    "$cert" "$key" &
  serve_pids+=($!)
  if ! _serve_started "$work/ports" 200; then
    cat "$work/front.log" "$work/error.log" >&2 2>/dev/null
    return 1
  fi
  served_tls_url="https://127.0.0.1:$(head -n 1 "$work/ports")"
}

serve_stop_all() {
  local pid
  for pid in "${serve_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  serve_pids=()
}
