#!/usr/bin/env bash
# Tries the README's two commands on a fresh Debian 13 (trixie), as a user of that release would
# run them: makes a minimal root with debootstrap from the archive of this machine's own apt
# sources, copies the committed tree (HEAD) into it and runs, in a chroot, the run command (until
# "vorla-engine ready", then a shutdown request on its socket) and the test command. Prints each
# command's status and time. Not part of the test run; runs as root and takes about as long as
# the test run itself plus a few minutes.
#
#   bash scripts/debian13-check.sh [--keep] [--reuse] [folder]
#
# The folder (default /var/tmp/vorla-debian13) must not exist: the script makes it, and removes
# it at the end after unmounting everything it mounted, unless --keep is given. --reuse takes a
# folder that an earlier --keep run left and skips debootstrap. The logs are folder/run.log and
# folder/test.log; the time-outs are VORLA_CHECK_RUN_TIMEOUT (default 2400 s, to "ready",
# build included) and VORLA_CHECK_TEST_TIMEOUT (default 5400 s).
set -euo pipefail

keep=0
reuse=0
while [[ "${1:-}" == --* ]]; do
  case "$1" in
    --keep) keep=1 ;;
    --reuse) reuse=1 keep=1 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
dir=${1:-/var/tmp/vorla-debian13}
run_timeout=${VORLA_CHECK_RUN_TIMEOUT:-2400}
test_timeout=${VORLA_CHECK_TEST_TIMEOUT:-5400}

[[ $(id -u) -eq 0 ]] || { echo "debootstrap and chroot need root" >&2; exit 2; }
# Mount points are compared as text with /proc/self/mounts, which escapes white space.
[[ "$dir" == /* && "$dir" != *[[:space:]]* ]] || { echo "give an absolute folder without spaces" >&2; exit 2; }
dir=$(realpath -m "$dir")
[[ "$dir" != / ]] || exit 2
repo=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
rev=$(git -C "$repo" rev-parse --short HEAD)
root=$dir/root
marker=$dir/made-by-debian13-check
src=/vorla-engine

# --- the archive: the first deb source of this machine's own release ---------------------------
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
mirror=$(
  {
    [[ -f /etc/apt/sources.list ]] && sed 's/^/list /' /etc/apt/sources.list
    for f in /etc/apt/sources.list.d/*.list; do [[ -f "$f" ]] && sed 's/^/list /' "$f"; done
    for f in /etc/apt/sources.list.d/*.sources; do [[ -f "$f" ]] && { sed 's/^/822 /' "$f"; echo "822 "; }; done
  } | awk -v want="$codename" '
    function found(uri) { print uri; done = 1; exit }
    function flush() {
      if (types ~ /(^| )deb( |$)/ && enabled != "no")
        for (i = 1; i <= nu; i++) for (j = 1; j <= ns; j++) if (s[j] == want) found(u[i])
      types = ""; enabled = ""; nu = 0; ns = 0
    }
    $1 == "list" {
      sub(/^list[ \t]*/, ""); sub(/#.*/, ""); gsub(/\[[^]]*\]/, "")
      if ($1 == "deb" && $3 == want) found($2)
      next
    }
    {
      sub(/^822 ?/, "")
      if ($0 ~ /^[ \t]*$/) { flush(); next }
      if ($0 ~ /^#/) next
      key = tolower($1)
      if (key == "types:") { types = $0; sub(/^[^:]*:[ \t]*/, "", types) }
      if (key == "enabled:") enabled = tolower($2)
      if (key == "uris:") for (k = 2; k <= NF; k++) u[++nu] = $k
      if (key == "suites:") for (k = 2; k <= NF; k++) s[++ns] = $k
    }
    END { if (!done) flush() }'
)
[[ -n "$mirror" ]] || { echo "no deb source for $codename in /etc/apt/sources.list{,.d}" >&2; exit 1; }

# --- mounts and clean-up ------------------------------------------------------------------------
mounted=()
mounts_under() { awk -v d="$dir" '$2 == d || index($2, d "/") == 1 { print $2 }' /proc/self/mounts; }

# Processes still running in the root are this script's (its commands' children): end each by id.
stop_root_processes() {
  local signal pids p
  for signal in TERM KILL; do
    pids=()
    for p in /proc/[0-9]*; do
      [[ "$(readlink "$p/root" 2>/dev/null)" == "$root" ]] && pids+=("${p#/proc/}")
    done
    ((${#pids[@]})) || return 0
    kill -s "$signal" "${pids[@]}" 2>/dev/null || true
    sleep 2
  done
}

cleanup() {
  local status=$? i
  trap - EXIT INT TERM
  stop_root_processes
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" || echo "could not unmount ${mounted[i]}" >&2
  done
  if [[ -n "$(mounts_under)" ]]; then
    echo "still mounted under $dir, so it is left as it is:" >&2
    mounts_under >&2
  elif ((!keep)) && [[ -f "$marker" ]]; then
    # Never leaves the folder's own file system, so nothing outside it can be reached.
    rm -rf --one-file-system "$dir"
  elif [[ -d "$dir" ]]; then
    echo "left in place: $dir (logs run.log, test.log; rerun with --reuse $dir)"
  fi
  exit "$status"
}

if ((reuse)); then
  [[ -f "$marker" && -x "$root/bin/bash" ]] || { echo "$dir is no folder that --keep left" >&2; exit 2; }
  [[ -z "$(mounts_under)" ]] || { echo "something is mounted under $dir" >&2; exit 2; }
else
  [[ ! -e "$dir" ]] || { echo "$dir exists; remove it or pass --reuse" >&2; exit 2; }
  mkdir -p "$(dirname "$dir")"
  mkdir "$dir"
  touch "$marker"
fi
trap cleanup EXIT
trap 'exit 130' INT TERM
echo "== Debian 13 check of $rev in $root (archive $mirror)"

# --- the root -----------------------------------------------------------------------------------
if ! command -v debootstrap >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update -q >/dev/null
  apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends debootstrap >/dev/null
fi

started=$SECONDS
if ((!reuse)); then
  debootstrap --variant=minbase trixie "$root" "$mirror" >"$dir/debootstrap.log" 2>&1 ||
    { echo "debootstrap failed; see $dir/debootstrap.log"; tail -5 "$dir/debootstrap.log"; exit 1; }
fi
echo "root: $((SECONDS - started)) s"

# Each mount is recorded as soon as it exists; a failed one ends the script (set -e).
mount -t proc proc "$root/proc"
mounted+=("$root/proc")
mount -t sysfs sysfs "$root/sys"
mounted+=("$root/sys")
mount --bind /dev "$root/dev"
mounted+=("$root/dev")
mount --make-private "$root/dev"
# The root's own shared memory: JACK's server table and semaphores stay apart from this machine's.
mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
mounted+=("$root/dev/shm")

in_root() {
  chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

# A fresh Debian system has procps (pgrep), which minbase leaves out; socat is the README's client.
in_root apt-get -o DPkg::Lock::Timeout=600 update -q >"$dir/prepare.log" 2>&1 &&
  in_root /bin/sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
  procps socat' >>"$dir/prepare.log" 2>&1 || { echo "could not install procps and socat; see $dir/prepare.log"; exit 1; }

if [[ -d "$root$src" ]]; then
  rm -rf --one-file-system "${root:?}$src"
fi
mkdir "$root$src"
git -C "$repo" archive --format=tar HEAD | tar -x -C "$root$src"

# Runs a command in the root in a session of its own, so a time-out ends all of it. Sets pid.
launch() {
  local log=$1
  shift
  setsid chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash -c "cd $src && $*" >"$log" 2>&1 </dev/null &
  pid=$!
}
end_session() { kill -TERM -- "-$1" 2>/dev/null || true; sleep 3; kill -KILL -- "-$1" 2>/dev/null || true; }

report=()
show_failure() {
  echo "---- $1: last lines of $2"
  grep -m5 -E 'error:|Error|FAILED|Failed' "$2" || true
  tail -n 15 "$2"
}

# --- the run command: ready, then "shutdown" on the socket --------------------------------------
run_log=$dir/run.log
started=$SECONDS
launch "$run_log" bash scripts/run.sh
result=""
while :; do
  if grep -q 'vorla-engine ready' "$run_log"; then break; fi
  if ! kill -0 "$pid" 2>/dev/null; then
    rc=0
    wait "$pid" || rc=$?
    result="FAILED: exit $rc before \"vorla-engine ready\""
    break
  fi
  if ((SECONDS - started >= run_timeout)); then
    end_session "$pid"
    result="FAILED: no \"vorla-engine ready\" within $run_timeout s"
    break
  fi
  sleep 1
done
ready_time=$((SECONDS - started))
if [[ -z "$result" ]]; then
  reply=$(printf '%s\n' '{"type":"shutdown"}' |
    in_root timeout 10 socat -t 5 - UNIX-CONNECT:/tmp/vorla.sock 2>&1 || true)
  asked=$SECONDS
  while kill -0 "$pid" 2>/dev/null && ((SECONDS - asked < 10)); do sleep 0.2; done
  if kill -0 "$pid" 2>/dev/null; then
    end_session "$pid"
    result="FAILED: still running 10 s after \"shutdown\""
  else
    rc=0
    wait "$pid" || rc=$?
    if [[ "$reply" != *'"msg":"shutting down"'* ]]; then
      result="FAILED: shutdown reply was: ${reply//$'\n'/ }"
    elif ((rc != 0)); then
      result="FAILED: exit $rc after \"shutdown\""
    else
      result="ok: ready after $ready_time s, answered \"shutting down\", exit 0 after $((SECONDS - asked)) s"
    fi
  fi
fi
report+=("run  (bash scripts/run.sh):  $result  [$((SECONDS - started)) s]")
echo "${report[-1]}"
[[ "$result" == ok* ]] || show_failure run "$run_log"

# --- the test command ---------------------------------------------------------------------------
test_log=$dir/test.log
started=$SECONDS
launch "$test_log" bash scripts/test.sh
while kill -0 "$pid" 2>/dev/null && ((SECONDS - started < test_timeout)); do sleep 2; done
if kill -0 "$pid" 2>/dev/null; then
  end_session "$pid"
  result="FAILED: not done within $test_timeout s"
else
  rc=0
  wait "$pid" || rc=$?
  if ((rc == 0)); then result="ok"; else result="FAILED: exit $rc"; fi
fi
phase=$(grep '^== ' "$test_log" | tail -1 || true)
report+=("test (bash scripts/test.sh): $result, last phase \"${phase#== }\"  [$((SECONDS - started)) s]")
echo "${report[-1]}"
[[ "$result" == ok ]] || show_failure test "$test_log"

echo "== result"
printf '%s\n' "${report[@]}"
[[ "${report[*]}" != *FAILED* ]]
