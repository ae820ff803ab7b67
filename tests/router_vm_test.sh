#!/usr/bin/env bash
# The tool on the emulated router (scripts/router-vm): what the real 8250
# driver held and what came back, and that the script leaves nothing running.
#   usage: tests/router_vm_test.sh setup|exchange|busy-kill|no-carrier|usb|cleanup TOOL SYSROOT PROBE
# (PROBE: tests/strerror_probe.cpp built against SYSROOT, as TOOL is)
# setup:    builds what runs on this machine (atquery-sim, atquery);
# exchange: replies byte for byte as on a pseudo-terminal, the tool's line
#           settings during each run and the port's own ones after it;
# busy-kill: a run that finds the port locked leaves the line alone, and a
#           run killed with SIGTERM puts it back;
# no-carrier: with CTS and DCD low and CLOCAL off in the port's settings, the
#           open never waits: -t ends at its limit with the line as found, and
#           the two-argument form gets as far as sending;
# usb:      on the kernel's own USB serial stack (an emulated FTDI adapter):
#           --find tells the modem's adapter (at) from a silent one and
#           never writes to the 8250 ports; a usb: name reaches the modem;
#           the adapter removed mid-reply ends a -t 10 run and a two-argument
#           run within 1 s, with little CPU time;
# cleanup:  a guest over its time limit, a tool over its own limit in the
#           guest and a run interrupted with SIGINT fail and leave no QEMU,
#           socat or simulator behind.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=$1 tool=$2 sysroot=$3 probe=$4

fail() { echo "FAIL: $*" >&2; exit 1; }

if ! scripts/router-kernel --cached >/dev/null; then
    fail "no router kernel in the cache: run scripts/router-kernel first (it takes minutes)"
fi

# Every program started from here on inherits this; none may be left with it.
# (/proc/PID/environ holds the environment a program was started with, so
# this shell itself does not show it.)
marker=ROUTER_VM_TEST_$$_$RANDOM
export "$marker=1"
leftovers() {
    local environ
    for environ in /proc/[0-9]*/environ; do
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
unhex_text() { [[ -z $1 ]] || printf '%b' "$(sed 's/../\\x&/g' <<<"$1")"; }
# An errno's words as the tool's C library gives them: the probe on the same
# library, asked with the number that library's headers give for NAME.
errno_words() {
    local number
    number=$(printf '#include <errno.h>\n%s\n' "$1" |
             mips-linux-gnu-cpp -P -nostdinc -isystem "$sysroot/usr/include" | tail -n 1)
    qemu-mips -cpu 4Kc -L "$sysroot" "$probe" "$number" || fail "no words for $1 ($number) from $probe"
}

tool_line="speed=115200/115200 size=8 parity=N stop=1 crtscts=1 clocal=1 raw=1 vmin=0 vtime=1 |"
port_line="speed=9600/9600 size=7 parity=O stop=2 crtscts=0 clocal=0 raw=0 vmin=1 vtime=0 |"

# Checks the guest's report of runs of the given kinds: the port's own
# settings before each and exactly those after it, the tool's settings during
# it (none for a run that found the port busy), the status, and each reply
# against the one on a pseudo-terminal (an empty one for a busy port).
check_report() {
    local report=$1 kinds=$2 index=-1 kind= before= during= line value
    while IFS= read -r line; do
        value=${line#* }
        case ${line%% *} in
        begin) index=$((index + 1)); read -r _ kind _ <<<"$value"; before= during=
            [[ $kind == "${kinds:index:1}"* ]] || fail "run $index is a $kind run" ;;
        before) before=$value
            [[ $value == "$port_line"* ]] || fail "port not set up before the run: $value" ;;
        during) during=$value
            [[ $value == "$tool_line"* ]] || fail "$kind run $index: driver held $value" ;;
        stdout) [[ $value == "${expected[index]-}" ]] ||
                fail "$kind run $index: reply $value, not ${expected[index]-nothing}" ;;
        stderr) [[ $kind != busy || -n $value ]] || fail "busy run $index: nothing said" ;;
        status) case $kind in
            run) [[ $value == "exit 0" ]] ;;
            busy) [[ $value == "exit 4" ]] ;;
            kill) [[ $value == "signal 15" ]] ;;
            esac || fail "$kind run $index: $value" ;;
        after) [[ $kind == busy ]] || [[ -n $during ]] || fail "$kind run $index: settings during the run not seen"
            [[ $kind != busy ]] || [[ -z $during ]] || fail "busy run $index changed the line"
            [[ $value == "$before" ]] || fail "$kind run $index: line after $value, before $before" ;;
        esac
    done <<<"$report"
    ((index == ${#kinds} - 1)) || fail "$((index + 1)) runs reported, not ${#kinds}"
}

# Reads a --frames report into run["INDEX KEY"]; sets runs to their count.
declare -A run=()
read_runs() {
    local line key value index=-1
    run=()
    while IFS= read -r line; do
        key=${line%% *}
        [[ $key != begin ]] || index=$((index + 1))
        value=${line#"$key"}
        run["$index $key"]=${value# }
    done <<<"$1"
    runs=$((index + 1))
}

case $mode in
setup)
    # The simulator (and the tool, for the replies on a pseudo-terminal) run
    # here: built once, before the tests that run at the same time need them.
    [[ -f build/CMakeCache.txt ]] || cmake --preset default >/dev/null
    cmake --build build -j2 --target atquery atquery-sim >/dev/null
    ;;
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
    [[ ${expected[0]} == *0d0a4f4b0d0a0a ]] || fail "no OK from ATI on a pseudo-terminal"
    check_report "$report" rr
    ;;
busy-kill)
    # Busy: another process holds the port's lock. Killed: SIGTERM as the
    # command starts going out, after the tool set the line up.
    report=$(router_vm --frames --busy ATI --kill ATI) || fail "scripts/router-vm failed"
    expected=("" "")
    check_report "$report" bk
    ;;
no-carrier)
    # No modem lines: CTS and DCD low; the port's settings before each run
    # lack CLOCAL (port_line). The second run, in blocking mode, waits for CTS
    # until the run limit kills it.
    report=$(router_vm --frames --no-modem-lines --run-limit 5 --with '-t 2' AT --with '' AT) || true
    read_runs "$report"
    ((runs == 2)) || fail "$runs runs reported, not 2: $report"

    [[ ${run[0 begin]} == "0 run $(printf AT | hex) $(printf %s '-t 2' | hex)" ]] ||
        fail "-t run: ${run[0 begin]}"
    [[ ${run[0 before]-} == "$port_line"* ]] || fail "-t run: port not set up before it: ${run[0 before]-}"
    [[ -z ${run[0 timeout]-} ]] || fail "-t run: killed at the run limit, stuck in ${run[0 blocked]-?}"
    [[ ${run[0 status]-} == "exit 3" ]] || fail "-t run: ${run[0 status]-no status}"
    timed_out=$(errno_words ETIMEDOUT) || exit 1
    [[ ${run[0 stderr]-} == "$(echo "send_line error: $timed_out" | hex)" ]] ||
        fail "-t run: said $(unhex_text "${run[0 stderr]-}")"
    elapsed=${run[0 elapsed]-0}
    ((elapsed >= 2000 && elapsed <= 3000)) || fail "-t run: took $elapsed ms, not 2 to 3 s"
    [[ ${run[0 after]-} == "${run[0 before]}" ]] ||
        fail "-t run: line after ${run[0 after]-}, before ${run[0 before]}"

    [[ ${run[1 timeout]-} == 5000 ]] || fail "two-argument run: not held up until its limit"
    [[ ${run[1 during]-} == "$tool_line"* ]] || fail "two-argument run never set the line up and wrote"
    [[ ${run[1 blocked]-} == @(write|ioctl)" "* ]] ||
        fail "two-argument run: stuck in ${run[1 blocked]-?}, not in a write or drain"
    ;;
usb)
    # Both adapters are FT232s (0403:6001, interface 00); the modem's is
    # enumerated first. router-vm itself fails when anything reached ttyS1
    # or the console.
    report=$(router_vm --frames --usb --silent-usb --find) || fail "scripts/router-vm --find failed: $report"
    read_runs "$report"
    ((runs == 1)) || fail "$runs runs reported, not 1"
    found=$(unhex_text "${run[0 stdout]-}")
    usb_fields="0403:6001 00 ftdi_sio usb:0403:6001:00 -"
    [[ $found == "/dev/ttyUSB0 at $usb_fields"$'\n'"/dev/ttyUSB1 silent $usb_fields" ]] ||
        fail "--find printed: $found"

    # In each guest, a run through the adapter's usb: name, then the adapter
    # removed 0.8 s into a 25-entry phonebook listing that the simulated
    # modem sends over 4 s (100 pieces 40 ms apart, never quiet for the 0.1 s
    # that ends a two-argument reply). One unplug per guest: the rest of the
    # listing would reach the next run's port. The emulated xHCI tells the
    # removal at once (measured within 40 ms, with both host cores busy),
    # before the line has been quiet for 0.1 s, so both forms must see the
    # hang-up: a tool that took it for quiet would exit 0 with the reply cut.
    # The guest counts QEMU's first translation of code as the CPU time of
    # whatever runs it; the first run takes that, so the unplug run's figure
    # is the tool's own.
    io_error=$(errno_words EIO) || exit 1
    messages=("atquery: /dev/ttyUSB0: the port went away" "read_reply error: $io_error")
    options=('-t 10' '')
    for i in 0 1; do
        what="unplug run ${options[i]:-two-argument}"
        report=$(router_vm --frames --usb --sim '--pieces 100 --gap 40' --device usb:0403:6001:00 ATI \
                 --device '' --with "${options[i]}" --unplug-after 800 AT+CPBR=1,25) ||
            fail "$what: scripts/router-vm failed"
        read_runs "$report"
        ((runs == 2)) || fail "$what: $runs runs reported"
        # $(...) drops the line feeds after the last CR.
        [[ $(unhex_text "${run[0 stdout]-}") == ATI$'\r\r\n'*$'\r\nOK\r' ]] ||
            fail "usb: name: $(unhex_text "${run[0 stdout]-}")"
        said=$(unhex_text "${run[1 stderr]-}") printed=$(unhex_text "${run[1 stdout]-}")
        [[ ${run[1 status]-} == "exit 255" ]] ||
            fail "$what: ${run[1 status]-no status}, hung up at ${run[1 hangup]-?} ms, ended at ${run[1 elapsed]-?} ms"
        [[ $said == "${messages[i]}" ]] || fail "$what said: $said"
        [[ $printed == *"+CPBR: 1,"* && $printed != *OK* ]] || fail "$what: not cut off mid-reply: $printed"
        removal=$(sed -n "s/^removal 1 //p" <<<"$report")
        [[ -n $removal && -n ${run[1 hangup]-} ]] || fail "$what: the removal was not seen"
        after_hangup=$((${run[1 elapsed]} - ${run[1 hangup]}))
        echo "$what: ended at most $removal ms after the removal, $after_hangup ms after the hang-up, cpu ${run[1 cpu]} ms"
        ((removal < 1000 && after_hangup < 1000)) || fail "$what: ended late"
        ((${run[1 cpu]} < 200)) || fail "$what: took ${run[1 cpu]} ms of CPU time"
    done
    ;;
cleanup)
    # The guest cannot even boot within 1 s.
    status=0
    router_vm --timeout 1 ATI >/dev/null 2>&1 || status=$?
    ((status != 0)) || fail "a guest over its time limit reported success"
    check_nothing_left "a guest over its time limit"

    # Without modem lines the tool waits for CTS for good; the
    # init kills it at its run limit and says where it was stuck.
    status=0
    messages=$(router_vm --no-modem-lines --run-limit 2 ATI 2>&1 >/dev/null) || status=$?
    ((status != 0)) || fail "a run over its limit reported success"
    [[ $messages == *"ran over 2000 ms and was killed"*"stuck in a system call: "[a-z]* ]] ||
        fail "a run over its limit: $messages"
    check_nothing_left "a run over its limit"

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
