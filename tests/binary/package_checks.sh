# Sourced by the checks of the release package (check_package.sh, check_package_host.sh): a line
# per check, and the package they check.
#   report ok|FAILED TEXT...   prints the check's line; the FAILED ones are counted
#   finish                     ends the check: "N check(s) failed" and exit code 1, or "all checks
#                              passed" and 0
#   show_log FILE              prints the end of a step's log, indented
#   read_options USAGE NAME... -- ARGS...
#       reads ARGS, pairs of --NAME VALUE, into the array `option` (option[NAME]); every NAME is
#       required. An unknown, repeated or missing option, or one without a value, prints USAGE
#       and exits with 2.
#   make_package CPACK CONFIG VERSION WORK
#       empties WORK, runs CPack with CONFIG (the x86 tree's, which gathers the x86 and the x64
#       tree, as scripts/package.sh does) into WORK/cpack, its log in WORK/cpack.log, and unpacks
#       the ZIP into WORK/unpacked; sets zip and unpacked. A failure is reported and ends the check.
failures=0

report() {
    local result=$1
    shift
    echo "$result: $*"
    [ "$result" = ok ] || failures=$((failures + 1))
}

finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "all checks passed"
    exit 0
}

show_log() { tail -n 40 "$1" | sed 's/^/  | /'; }

declare -A option=()
read_options() {
    local usage=$1 name
    local -A known=()
    shift
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        known[$1]=1
        shift
    done
    shift
    while [ $# -gt 0 ]; do
        name=${1#--}
        if [ "$1" = "$name" ] || [ $# -lt 2 ] || [ -z "${known[$name]+x}" ] ||
            [ -n "${option[$name]+x}" ]; then
            echo "$usage" >&2
            exit 2
        fi
        option[$name]=$2
        shift 2
    done
    for name in "${!known[@]}"; do
        if [ -z "${option[$name]+x}" ]; then
            echo "missing --$name; $usage" >&2
            exit 2
        fi
    done
}

make_package() {
    local cpack=$1 config=$2 version=$3 work=$4
    rm -rf "$work"
    mkdir -p "$work"
    zip="$work/cpack/MobileDrvDown-$version.zip"
    unpacked="$work/unpacked"
    if ! "$cpack" --config "$config" -B "$work/cpack" >"$work/cpack.log" 2>&1; then
        show_log "$work/cpack.log"
        report FAILED "cpack"
        finish
    fi
    if [ ! -f "$zip" ] || ! python3 -m zipfile -e "$zip" "$unpacked"; then
        report FAILED "cpack made $(basename "$zip"), a ZIP that unpacks"
        finish
    fi
}
