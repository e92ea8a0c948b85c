# Sourced by the scripts (through wine-env.sh and local-server.sh): work done when the script
# exits, however it exits. A script adds to it instead of setting an EXIT trap of its own.
#   at_exit COMMAND [ARGS...]   runs COMMAND at exit, once however often it is added; what was
#                               added last runs first, and a failure stops nothing
declare -p _at_exit_commands >/dev/null 2>&1 || _at_exit_commands=()

at_exit() {
  local command queued
  command=$(printf '%q ' "$@")
  for queued in "${_at_exit_commands[@]}"; do
    [ "$queued" != "$command" ] || return 0
  done
  _at_exit_commands=("$command" "${_at_exit_commands[@]}")
  trap _run_at_exit EXIT
}

_run_at_exit() {
  local command
  for command in "${_at_exit_commands[@]}"; do
    eval "$command" || true
  done
}
