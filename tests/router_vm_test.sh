#!/usr/bin/env bash
# The tool on the emulated router (scripts/router-vm): what the real 8250
# driver held and what came back, and that the script leaves nothing running.
#   usage: tests/router_vm_test.sh exchange|cleanup TOOL SYSROOT
# exchange: replies byte for byte as on a pseudo-terminal, the tool's line
#           settings during each run and the port's own ones after it;
# cleanup:  a guest over its time limit and a run interrupted with SIGINT
#           fail and leave no QEMU, socat or simulator behind.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=$1 tool=$2 sysroot=$3

fail() { echo "FAIL: $*" >&2; exit 1; }

if ! kernel=$(scripts/router-kernel --cached); then
    fail "no router kernel in the cache: run scripts/router-kernel first (it takes minutes)"
fi

# Every process the script starts inherits this; none may be left with it.
marker=ROUTER_VM_TEST_$$_$RANDOM
export "$marker=1"
leftovers() {
    local environ
    for environ in /proc/[0-9]*/environ; do
        [[ ${environ#/proc/} != "$BASHPID/environ" ]] || continue
        grep -qsa "$marker=1" "$environ" && echo "${environ//[^0-9]/}"
    done
    return 0
}
check_nothing_left() {
    local pids
    pids=$(leftovers)
    if [[ -n $pids ]]; then
        ps -o pid,args -p "${pids//$'\n'/,}" >&2 || true
        fail "$1 left processes running"
    fi
}

router_vm() { scripts/router-vm --tool "$tool" --sysroot "$sysroot" "$@"; }
hex() { od -An -v -tx1 | tr -d ' \n'; }

case $mode in
exchange)
    commands=(ATI 'AT+CSQ')
    report=$(router_vm --frames "${commands[@]}") || fail "scripts/router-vm failed"
    check_nothing_left "a successful run"

    # The same commands on a pseudo-terminal, against a fresh simulator.
    coproc SIM { exec build/atquery-sim; }
    read -r -t 10 terminal <&"${SIM[0]}" || fail "atquery-sim did not start"
    expected=()
    for command in "${commands[@]}"; do
        expected+=("$(build/atquery "$terminal" "$command" | hex)")
    done
    kill "$SIM_PID"
    wait "$SIM_PID" || true

    tool_line="speed=115200/115200 size=8 parity=N stop=1 crtscts=1 clocal=1 raw=1 vmin=0 vtime=1 |"
    port_line="speed=9600/9600 size=7 parity=O stop=2 crtscts=0 clocal=0 raw=0 vmin=1 vtime=0 |"
    index=-1
    while IFS= read -r line; do
        value=${line#* }
        case ${line%% *} in
        begin) index=$((index + 1)); before= during= ;;
        before) before=$value
            [[ $value == "$port_line"* ]] || fail "port not set up before the run: $value" ;;
        during) during=$value
            [[ $value == "$tool_line"* ]] || fail "${commands[index]}: driver held $value" ;;
        stdout) [[ $value == "${expected[index]}" ]] ||
                fail "${commands[index]}: reply $value, on a pseudo-terminal ${expected[index]}" ;;
        status) [[ $value == "exit 0" ]] || fail "${commands[index]}: $value" ;;
        after) [[ -n $during ]] || fail "${commands[index]}: settings during the run not seen"
            [[ $value == "$before" ]] || fail "${commands[index]}: line after $value, before $before" ;;
        esac
    done <<<"$report"
    ((index == ${#commands[@]} - 1)) || fail "$((index + 1)) runs reported, not ${#commands[@]}"
    [[ ${expected[0]} == *0d0a4f4b0d0a0a ]] || fail "no OK from ATI on a pseudo-terminal"
    ;;
cleanup)
    # The guest cannot even boot within 1 s.
    status=0
    router_vm --timeout 1 ATI >/dev/null 2>&1 || status=$?
    ((status != 0)) || fail "a guest over its time limit reported success"
    check_nothing_left "a guest over its time limit"

    # Interrupted while the guest runs: as Ctrl-C would, though only the script gets it.
    # With job control, the script runs in a process group of its own and
    # does not start with SIGINT ignored, as a background job otherwise would.
    set -m
    scripts/router-vm --tool "$tool" --sysroot "$sysroot" ATI >/dev/null 2>&1 &
    script=$!
    set +m
    for _ in $(seq 100); do
        pids=$(leftovers)
        [[ -n $pids && $(ps -o comm= -p "${pids//$'\n'/,}") == *qemu-system-mip* ]] && break
        sleep 0.1
    done
    kill -INT "$script"
    status=0
    wait "$script" || status=$?
    ((status == 130)) || fail "an interrupted run ended with $status, not 130"
    check_nothing_left "an interrupted run"
    ;;
*) fail "unknown mode $mode" ;;
esac
echo "passed"
