# Sourced by the check scripts that drive programs from outside (check-windows-cli-interrupt.sh,
# check-windows-postgres.sh):
#   check TEXT CONDITION   prints "ok: TEXT" or "FAILED: TEXT" as CONDITION (evaluated) holds,
#                          counting the failures in $failures
#   wait_for FILE TEXT SECONDS
#                          true once FILE holds TEXT, false when SECONDS passed first
failures=0
check() {
    if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
}
wait_for() {
    local i
    for ((i = 0; i < $3 * 10; i++)); do
        grep -q -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}
