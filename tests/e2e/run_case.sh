#!/usr/bin/env bash
# One end-to-end case: the built benchfw updates benchfw-sim over a real
# loopback socket, and its exit status, its whole standard error and the
# images the simulated instrument stored are compared with what a user must
# see.
#
#   run_case.sh CASE BENCHFW BENCHFW_SIM MAIN_IMAGE SUB_IMAGE
#
# The simulator listens on a free port (--port 0) and says which; the case
# waits for that line (bounded), never for a fixed time.
set -uo pipefail

case_name=$1 benchfw=$2 sim=$3 main_image=$4 sub_image=$5

work=$(mktemp -d "${TMPDIR:-/tmp}/benchfw-e2e.XXXXXX")
sim_pid=
cleanup() {
  if [[ -n $sim_pid ]]; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/images"

failures=0
fail() {
  echo "FAIL [$case_name]: $*"
  failures=$((failures + 1))
}

# ---- what the instrument reports -------------------------------------------

size_of() { stat -c %s "$1"; }
main_size=$(size_of "$main_image")
sub_size=$(size_of "$sub_image")

# The build's placeholder images carry a version, which the instrument shows
# in its identity once it runs the image; real images are taken as they are.
sim_image_args=()
version_of() { # IMAGE DEFAULT
  if [[ $(head -c 8 "$1") == BFWIMAGE ]]; then
    read -r patch minor major < <(od -An -tu1 -j12 -N3 "$1")
    echo "$major.$minor.$patch"
  else
    echo "$2"
  fi
}
[[ $(head -c 8 "$main_image") == BFWIMAGE && $(head -c 8 "$sub_image") == BFWIMAGE ]] ||
  sim_image_args=(--accept-any-image)
idn=BENCHLAB,BL-7000,SN000123
idn_main_before="$idn,MAIN 2.5.0"
idn_sub_before="$idn,SUB 1.3.1"
idn_main_after="$idn,MAIN $(version_of "$main_image" 2.5.0)"
idn_sub_after="$idn,SUB $(version_of "$sub_image" 1.3.1)"

# ---- the updater's standard error, piece by piece ---------------------------

rsrc=  # set once the port is known
opening() { printf 'Open Instrument(%s)\n' "$rsrc"; }
identity() { printf '*IDN? = %s\n' "$1"; }
state() { printf ':DIAG:HW:HOST:FW:MAIN? = %s\n' "$1"; }
phase() { opening; identity "$1"; state "$2"; } # IDN STATE
# A download announces itself with a line ending in "..." and closes it
# with "...Done\n" once the instrument has taken the image.
sub_started() { printf 'Update sub app (%d bytes) ...' "$sub_size"; }
main_started() { printf 'Update main app (%d bytes) ...' "$main_size"; }
sub_done() { sub_started; printf '...Done\n'; }
main_done() { main_started; printf '...Done\n'; }
instrument_error() { printf '(%d) err=%s\n\n' "$1" "$2"; } # TAG REPLY (reply's own LF)
visa_error() { printf '\nVISA error\n'; }
full_update_from_main() {
  printf 'Open VISA\n'
  phase "$idn_main_before" 1; sub_done
  phase "$idn_sub_after" 0; main_done
  phase "$idn_main_after" 1
}
injected='-310,"System error"'

# ---- running the two programs -----------------------------------------------

start_sim() {
  "$sim" --port 0 --restart-time 1 --log "$work/sim.log" --save-images "$work/images" \
    "${sim_image_args[@]}" "$@" 2>"$work/sim.err" &
  sim_pid=$!
  local port= deadline=$((SECONDS + 20))
  while [[ -z $port ]] && ((SECONDS < deadline)) && kill -0 "$sim_pid" 2>/dev/null; do
    # "listening on ADDR:PORT, ..." or, while it refuses at first,
    # "port ADDR:PORT reserved, ...".
    port=$(sed -n 's/^benchfw-sim: \(listening on\|port\) 127\.0\.0\.1:\([0-9]*\)[, ].*/\2/p' "$work/sim.err" |
      head -n 1)
    [[ -n $port ]] || sleep 0.05
  done
  if [[ -z $port ]]; then
    echo "benchfw-sim did not start listening:"; cat "$work/sim.err"
    exit 1
  fi
  rsrc="TCPIP0::127.0.0.1::$port::SOCKET"
}

run=0
# Runs benchfw once; expects exit status $1 and the standard error that the
# function named $2 prints.
run_benchfw() {
  run=$((run + 1))
  local out="$work/benchfw.$run.err"
  timeout 280 "$benchfw" "$rsrc" 2>"$out" >"$work/benchfw.$run.out"
  local status=$?
  "$2" >"$work/expected.$run.err"
  [[ $status == "$1" ]] || fail "run $run: exit status $status, expected $1"
  [[ -s $work/benchfw.$run.out ]] && fail "run $run: wrote to standard output"
  if ! cmp -s "$out" "$work/expected.$run.err"; then
    fail "run $run: standard error differs (- expected, + got; \$ marks line ends)"
    diff <(cat -A "$work/expected.$run.err") <(cat -A "$out") | cut -c1-300
  fi
}

stored_is() { # APP IMAGE
  cmp -s "$work/images/$1.bin" "$2" || fail "the stored $1 image differs from the embedded one"
}
never_stored() { # APP
  [[ ! -e $work/images/$1.bin ]] || fail "a $1 image was stored"
}

# ---- the cases ---------------------------------------------------------------

expect_phase2_mismatch() {
  printf 'Open VISA\n'
  phase "$idn_main_before" 1; sub_done
  phase "$idn_main_before" 1
  printf 'Main app is running.  Sub app expected.\n'
}
expect_phase3_mismatch() {
  printf 'Open VISA\n'
  phase "$idn_main_before" 1; sub_done
  phase "$idn_sub_after" 0; main_done
  phase "$idn_sub_after" 0
  printf 'Sub app is running.  Main app expected.\n'
}
expect_update_from_sub() {
  # Phase 1 finds the sub application and sends nothing.
  printf 'Open VISA\n'
  phase "$idn_sub_before" 0
  phase "$idn_sub_before" 0; main_done
  phase "$idn_main_after" 1
}
expect_error_79() { printf 'Open VISA\n'; opening; instrument_error 79 "$injected"; visa_error; }
expect_error_87() {
  printf 'Open VISA\n'; opening; identity "$idn_main_before"
  instrument_error 87 "$injected"; visa_error
}
expect_error_95() {
  printf 'Open VISA\n'; phase "$idn_main_before" 1
  instrument_error 95 "$injected"; visa_error
}
expect_error_131() {
  printf 'Open VISA\n'; phase "$idn_main_before" 1
  sub_started; instrument_error 131 "$injected"; visa_error
}
expect_error_148() {
  printf 'Open VISA\n'; phase "$idn_main_before" 1; sub_done
  phase "$idn_sub_after" 0
  main_started; instrument_error 148 "$injected"; visa_error
}
expect_drop_in_main_image() {
  printf 'Open VISA\n'; phase "$idn_main_before" 1; sub_done
  phase "$idn_sub_after" 0
  main_started; visa_error
}
expect_after_drop() {
  printf 'Open VISA\n'; phase "$idn_sub_after" 0
  phase "$idn_sub_after" 0; main_done
  phase "$idn_main_after" 1
}
long_identity=$(printf 'I%.0s' $(seq 3000))
expect_long_identity() {
  # The reply buffer holds 1023 characters and a NUL: the identity is cut
  # there, without its line feed, and the rest of that reply is discarded,
  # so the state echo follows on the same line and the dialogue stays in
  # step.
  local cut=${long_identity:0:1023}
  printf 'Open VISA\n'
  opening; printf '*IDN? = %s' "$cut"; state 1; sub_done
  opening; printf '*IDN? = %s' "$cut"; state 0; main_done
  opening; printf '*IDN? = %s' "$cut"; state 1
}
expect_no_plus_sign() { printf 'Open VISA\n'; opening; instrument_error 79 '0,"No error"'; visa_error; }
expect_state_with_cr() {
  # "1\r\n" is not "1\n": the updater takes the sub application to be
  # running and sends the main image, which the running main refuses.
  printf 'Open VISA\n'
  opening; identity "$idn_main_before"; printf ':DIAG:HW:HOST:FW:MAIN? = 1\r\n'
  opening; identity "$idn_main_before"; printf ':DIAG:HW:HOST:FW:MAIN? = 1\r\n'
  main_started
  instrument_error 148 '-221,"Settings conflict;main image while the main application runs"'
  visa_error
}

case $case_name in
  update_from_main)
    start_sim
    run_benchfw 0 full_update_from_main
    stored_is main "$main_image"; stored_is sub "$sub_image"
    grep -q 'restarting into sub' "$work/sim.log" && grep -q 'restarting into main' "$work/sim.log" ||
      fail "the log shows no restart into each application"
    ;;
  update_from_sub)
    start_sim --app sub
    run_benchfw 0 expect_update_from_sub
    stored_is main "$main_image"; never_stored sub
    ;;
  phase2_mismatch)
    start_sim --ignore-restart sub
    run_benchfw 1 expect_phase2_mismatch
    never_stored main
    ;;
  phase3_mismatch)
    start_sim --ignore-restart main
    run_benchfw 1 expect_phase3_mismatch
    ;;
  error_79) start_sim --error-at "1:$injected"; run_benchfw 1 expect_error_79 ;;
  error_87) start_sim --error-at "2:$injected"; run_benchfw 1 expect_error_87 ;;
  error_95) start_sim --error-at "3:$injected"; run_benchfw 1 expect_error_95 ;;
  error_131) start_sim --error-at "4:$injected"; run_benchfw 1 expect_error_131 ;;
  error_148) start_sim --error-at "8:$injected"; run_benchfw 1 expect_error_148 ;;
  drop_in_main_image)
    start_sim --drop-download main:1000000
    run_benchfw 1 expect_drop_in_main_image
    never_stored main
    run_benchfw 0 expect_after_drop
    stored_is main "$main_image"
    ;;
  slow_restart)
    # Longer than the updater's 5 s wait after the sub restart: phase 2's
    # opening is retried until the instrument is back.
    start_sim --restart-time 7
    run_benchfw 0 full_update_from_main
    ;;
  slow_completion)
    # The instrument takes its time before it answers *OPC? behind each
    # image: the updater waits for the answer, not for a fixed time.
    start_sim --opc-delay 3
    run_benchfw 0 full_update_from_main
    ;;
  late_listener)
    # benchfw starts while the instrument still refuses connections.
    start_sim --listen-delay 3
    run_benchfw 0 full_update_from_main
    grep -q 'not answering for' "$work/sim.log" || fail "the instrument did not start deaf"
    ;;
  long_identity)
    start_sim --reply '*IDN?=I\{3000}'
    run_benchfw 0 expect_long_identity
    ;;
  no_plus_sign)
    start_sim --reply ':SYST:ERR?=0,"No error"'
    run_benchfw 1 expect_no_plus_sign
    ;;
  state_with_cr)
    start_sim --reply ':DIAG:HW:HOST:FW:MAIN?=1\r'
    run_benchfw 1 expect_state_with_cr
    never_stored main
    ;;
  sim_command_line)
    "$sim" --help >"$work/help" 2>&1 && grep -q -- '--drop-download' "$work/help" ||
      fail "--help does not describe the flags"
    "$sim" --version | grep -q '^benchfw-sim [0-9]' || fail "--version"
    for bad in "--port 70000" "--app both" "--frobnicate" "--reply *IDN" "--restart-time"; do
      # shellcheck disable=SC2086  # each row is several words
      "$sim" $bad >/dev/null 2>"$work/bad.err"
      status=$?
      [[ $status == 2 && -s $work/bad.err ]] || fail "'$bad': exit status $status, or no reason given"
    done
    for signal in INT TERM; do
      start_sim
      kill -s "$signal" "$sim_pid"
      deadline=$((SECONDS + 10))
      while kill -0 "$sim_pid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.05; done
      wait "$sim_pid"
      status=$?
      sim_pid=
      [[ $status == 0 ]] || fail "SIG$signal: exit status $status, expected 0"
    done
    ;;
  *)
    echo "unknown case $case_name"
    exit 2
    ;;
esac

if ((failures > 0)); then
  echo "--- benchfw-sim log (last 40 lines)"
  tail -n 40 "$work/sim.log" | cut -c1-300
  exit 1
fi
echo "PASS [$case_name]"
