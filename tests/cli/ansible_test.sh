#!/usr/bin/env bash
# The example playbook with a local connection: two "lab machines" on this
# one, each upgrading its own simulated instrument on loopback; one
# instrument is locked by another client, so that machine must fail while
# the other succeeds, and both bring back their events and audit lines.
set -euo pipefail
fwupgrade="$1" fwsim="$2" playbook="$3"
command -v ansible-playbook >/dev/null || { echo "ansible-playbook not installed"; exit 77; }
[ "$(id -u)" -eq 0 ] || { echo "VXI-11 needs the simulator's port 111 (root)"; exit 77; }

work="$(mktemp -d /tmp/fw-ansible-XXXXXX)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

start_sim() {  # address, options...
  local address="$1"; shift
  "$fwsim" --address "$address" --socket-port 0 --reboot-ms 200 "$@" >"$work/sim-$address.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do grep -q "fwsim ready" "$work/sim-$address.out" && return; sleep 0.05; done
  echo "fwsim on $address did not start"; cat "$work/sim-$address.out"; exit 1
}
start_sim 127.0.0.160 --firmware-after-reboot 1.1.0
start_sim 127.0.0.161 --hold-lock

mkdir -p "$work/rel/host"
head -c 30000 /dev/urandom >"$work/rel/host/ubl-nor-ais.bin"
printf 'HUBL\n' >"$work/rel/Firmware_Upgrade.txt"
cat >"$work/inventory.ini" <<INV
[labs]
lab1 fw_resources='["TCPIP0::127.0.0.160::inst0::INSTR"]' fw_state_home=$work/state1
lab2 fw_resources='["TCPIP0::127.0.0.161::inst0::INSTR"]' fw_state_home=$work/state2

[labs:vars]
ansible_connection=local
ansible_python_interpreter=/usr/bin/python3
fw_release=$work/rel/
fw_wait=true
fwupgrade=$fwupgrade
INV

export ANSIBLE_HOME="$work/ansible" ANSIBLE_LOCAL_TEMP="$work/ansible/tmp" \
  ANSIBLE_REMOTE_TEMP="$work/ansible/tmp" ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0
status=0
ansible-playbook -i "$work/inventory.ini" "$playbook" -e "fw_collect_dir=$work/results" \
  >"$work/ansible.log" 2>&1 || status=$?
fail() { echo "FAIL: $*"; cat "$work/ansible.log"; exit 1; }
# ansible-playbook exits 2 when a host failed.
[ "$status" -eq 2 ] || fail "ansible-playbook exited $status, expected 2 (lab2 fails)"
grep -q "lab1 *: ok=[0-9]* *changed=[0-9]* *unreachable=0 *failed=0" "$work/ansible.log" ||
  fail "lab1 did not succeed"
grep -q "fwupgrade exited 4 (locked)" "$work/ansible.log" || fail "lab2's failure not reported"

check() {  # file, python condition on the list of JSON lines `l`
  /usr/bin/python3 -c "import json,sys; l=[json.loads(x) for x in open(sys.argv[1])]; sys.exit(0 if ($2) else 1)" "$1" ||
    fail "$1: $2"
}
check "$work/results/lab1-events.jsonl" "l[-1]['event']=='finished' and l[-1]['result']=='ok' and any(e['event']=='back' for e in l)"
check "$work/results/lab1-audit.jsonl" "len(l)==1 and l[0]['result']=='ok' and l[0]['images'][0]['id']=='HUBL' and l[0]['firmware_after']=='1.1.0'"
check "$work/results/lab2-events.jsonl" "l[-1]['exit_code']==4"
check "$work/results/lab2-audit.jsonl" "len(l)==1 and l[0]['result']=='locked'"
echo "ansible playbook: ok"
