#!/usr/bin/env bash
# Runs the setup program silently in the build tree's Wine prefix, checks the
# files, shortcut and registry entries it leaves, then runs the uninstall
# command that the installed-programs entry names and checks what remains.
#
# Usage: installer_test.sh SCENARIO SETUP WINE_RUN PREFIX PROGRAM RUNNING_COPY SERVICE
#                          ARCH [EARLIER_UNINSTALLER [AS_X86_SETUP]]
#   ARCH is the build's, x64 or x86; the prefix is a 64-bit one either way.
#   per-user    default install; start-with-Windows value holds the bare path;
#               the settings go; no clock service.
#   all-users   /AllUsers /Server=; the build's programs in its own Program
#               Files; the clock service runs as LocalService, with the
#               machine's server in the native registry view; a second run
#               updates it; the value holds the path in quotes (it has a
#               space); /KeepSettings keeps the user's settings and the
#               machine's server, the service goes.
#   own-folder  /D= a folder that already holds a file of the user's; the
#               value names a portable copy elsewhere, in quotes, and a sibling
#               settings key exists: those stay.
#   side-by-side  a per-user and an all-users copy; each uninstaller removes
#               only its own.
#   running     the installed program runs (RUNNING_COPY stands in for it)
#               while the setup program updates it and while it is uninstalled:
#               both close it and do their work.
#   x86-to-x64  an x86 install for all users as its setup program leaves it
#               (EARLIER_UNINSTALLER stands in for its uninstaller): /AllUsers
#               removes it silently and keeps the settings, the machine's
#               server (now in the native view) and the start-with-Windows
#               choice, which then names the x64 program; other accounts'
#               values naming it follow, at once where their hives are loaded,
#               at logon (Active Setup, its switch run here by hand) otherwise.
#   x86-upgrade   AS_X86_SETUP, the x86 setup program's logic in an amd64 one,
#               over a machine server left in the 32-bit view: it moves to the
#               native view (unless one is there); uninstalling keeps it with
#               /KeepSettings and removes it from both views without.
#   x86-over-x64  AS_X86_SETUP refuses (exit 3) where the x64 copy is
#               installed for all users; where both copies exist anyway, each
#               uninstaller removes the service only when it runs its file.
set -uo pipefail

scenario=$1 setup=$2 wine_run=$3 prefix=$4 program=$5 running_copy=${6:-} service=${7:-}
arch=${8:-x64} earlier=${9:-} as_x86=${10:-}
copy_pid=

failures=0
fail() { echo "FAIL [$scenario]: $*" >&2; failures=$((failures + 1)); }
die() { echo "FAIL [$scenario]: $*" >&2; exit 1; }

wine_() { "$wine_run" "$prefix" "$@"; }
winvar() { wine_ cmd /c echo "%$1%" | tr -d '\r'; }
unixpath() { local p=${1#[Cc]:\\}; printf '%s/drive_c/%s' "$prefix" "${p//\\//}"; }

# The registry view a key is read in, as a 64-bit reg.exe: an x86 setup
# program's entry in the list of programs lies in the 32-bit view of HKLM;
# everything else, the machine's settings included, in the native one.
view() {
  case $1 in
    HKLM\\*\\Uninstall\\*) [ "$arch" = x86 ] && { echo /reg:32; return; } ;;
  esac
  echo /reg:64
}
# All values of one key as "Name<TAB>TYPE<TAB>data" lines; fails if the key
# is missing.
reg_dump() {
  local out
  out=$(wine_ reg query "$1" "$(view "$1")" 2>/dev/null) || return 1
  printf '%s\n' "$out" | tr -d '\r' |
    sed -n 's/^    \([^ ].*[^ ]\)    \(REG_[A-Z_]*\)    \(.*\)$/\1\t\2\t\3/p
            s/^    \([^ ].*[^ ]\)    \(REG_[A-Z_]*\)$/\1\t\2\t/p'
}
# Data of one value ("TYPE data"); fails if the value is missing.
reg_get() {
  local out
  out=$(reg_dump "$1") || return 1
  printf '%s\n' "$out" | awk -F'\t' -v n="$2" '$1 == n { print $2 " " $3; found = 1 }
    END { exit !found }'
}
expect_value() {  # KEY NAME "TYPE data"
  local got
  if ! got=$(reg_get "$1" "$2"); then
    fail "$1 has no value $2 (expected: $3)"
  elif [ "$got" != "$3" ]; then
    fail "$1 value $2: expected [$3], got [$got]"
  fi
}
expect_no_key() {
  if wine_ reg query "$1" "$(view "$1")" >/dev/null 2>&1; then fail "key $1 still exists"; fi
}

uninst_key='Software\Microsoft\Windows\CurrentVersion\Uninstall\Oramet'
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
settings='HKCU\SOFTWARE\Velmora\Adjust'
machine_settings='HKLM\SOFTWARE\Velmora\Adjust'
service_key='HKLM\System\CurrentControlSet\Services\OrametClock'
eventlog_key='HKLM\System\CurrentControlSet\Services\EventLog\Application\Oramet'

# The clock service's state as sc reports it (RUNNING, STOPPED...), or none.
service_state() {
  wine_ sc query OrametClock 2>/dev/null | tr -d '\r' | sed -n 's/^ *STATE *: [0-9]* *\([A-Z_]*\).*/\1/p'
}
expect_service_running() {  # WHEN
  local state
  for _ in $(seq 50); do
    state=$(service_state)
    [ "$state" = RUNNING ] && return
    sleep 0.2
  done
  fail "$1: the clock service is [${state:-not registered}], not RUNNING"
}

# The machine type of a PE file: 8664 (x64) or 014c (x86).
pe_machine() {
  local at
  at=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$at" ] && od -An -tx2 -j$((at + 4)) -N2 "$1" 2>/dev/null | tr -d ' '
}
expect_machine() {  # FILE
  local want=8664 got
  [ "$arch" = x86 ] && want=014c
  got=$(pe_machine "$1")
  [ "$got" = "$want" ] || fail "$1 is of machine [$got], not the $arch build's $want"
}

[ -f "$setup" ] || die "no setup program at $setup"
[ -f "$program" ] || die "no program at $program"

local_appdata=$(winvar LOCALAPPDATA)
appdata=$(winvar APPDATA)
program_files64=$(winvar ProgramFiles)
program_files32=$(winvar 'ProgramFiles(x86)')
program_data=$(winvar ProgramData)
# Each setup program installs into the Program Files of its own architecture.
program_files=$program_files64
[ "$arch" = x86 ] && program_files=$program_files32
for v in "$local_appdata" "$appdata" "$program_files64" "$program_files32" "$program_data"; do
  case $v in [Cc]:\\*) ;; *) die "unexpected Wine folder [$v]" ;; esac
done
user_menu="$appdata\\Microsoft\\Windows\\Start Menu\\Programs"
common_menu="$program_data\\Microsoft\\Windows\\Start Menu\\Programs"
# No space: wine would quote the argument, and the setup program reads /D=
# only unquoted, as the last argument.
own_folder='C:\OrametOwnFolder'
portable='C:\Oramet Portable'
ready='C:\oramet-running-copy.ready'
earlier_dir="$program_files32\\Oramet"
earlier_args='C:\oramet-earlier.args'
# Another hive loaded during setup, as a logged-on account's would be (Wine
# makes no new ones under HKEY_USERS).
other_run_key='HKU\.Default\Software\Microsoft\Windows\CurrentVersion\Run'
active_setup='HKLM\SOFTWARE\Microsoft\Active Setup\Installed Components\OrametAutoStart'

case $scenario in
  per-user)
    args=(/S); instdir="$local_appdata\\Programs\\Oramet"
    root=HKCU; other=HKLM; menu=$user_menu; other_menu=$common_menu ;;
  all-users)
    args=(/S /AllUsers /Server=time.machine.test); instdir="$program_files\\Oramet"
    root=HKLM; other=HKCU; menu=$common_menu; other_menu=$user_menu ;;
  own-folder)
    args=(/S "/D=$own_folder"); instdir=$own_folder
    root=HKCU; other=HKLM; menu=$user_menu; other_menu=$common_menu ;;
  side-by-side) instdir= ;;  # two copies, see below
  running) args=(/S); instdir="$local_appdata\\Programs\\Oramet" ;;
  x86-to-x64) args=(/S /AllUsers); instdir="$program_files\\Oramet"
    root=HKLM; other=HKCU; menu=$common_menu; other_menu=$user_menu ;;
  x86-upgrade|x86-over-x64)
    [ -f "$as_x86" ] || die "no x86 stand-in setup program at $as_x86"
    instdir="$program_files32\\Oramet" ;;
  *) die "unknown scenario" ;;
esac
inst_unix=$(unixpath "$instdir")

cleanup() {
  [ -n "$copy_pid" ] && kill "$copy_pid" 2>/dev/null
  wine_ reg delete "HKCU\\$uninst_key" /f >/dev/null 2>&1
  wine_ reg delete "HKLM\\$uninst_key" /f /reg:64 >/dev/null 2>&1
  wine_ reg delete "HKLM\\$uninst_key" /f /reg:32 >/dev/null 2>&1
  wine_ reg delete "$run_key" /v Horalin /f >/dev/null 2>&1
  wine_ reg delete 'HKCU\SOFTWARE\Velmora' /f >/dev/null 2>&1
  # A service left running would keep the prefix busy for every later test.
  wine_ sc stop OrametClock >/dev/null 2>&1
  wine_ sc delete OrametClock >/dev/null 2>&1
  wine_ reg delete 'HKLM\SOFTWARE\Velmora' /f /reg:64 >/dev/null 2>&1
  wine_ reg delete 'HKLM\SOFTWARE\Velmora' /f /reg:32 >/dev/null 2>&1
  wine_ reg delete "$active_setup" /f /reg:64 >/dev/null 2>&1
  wine_ reg delete "$other_run_key" /v Horalin /f >/dev/null 2>&1
  rm -rf "$(unixpath "$local_appdata\\Programs\\Oramet")" \
    "$(unixpath "$program_files64\\Oramet")" "$(unixpath "$program_files32\\Oramet")" \
    "$(unixpath "$own_folder")" "$(unixpath "$portable")" "$(unixpath "$ready")" \
    "$(unixpath "$earlier_args")" \
    "$(unixpath "$user_menu\\Oramet.lnk")" "$(unixpath "$common_menu\\Oramet.lnk")"
}
cleanup
trap cleanup EXIT

# Runs the uninstall command that an installed-programs entry names, with
# any extra arguments, and waits until it has finished.
uninstall_with() {  # KEY [ARGS...]
  local quiet uninstaller uargs
  quiet=$(reg_get "$1" QuietUninstallString) || die "no QuietUninstallString in $1"
  shift
  quiet=${quiet#REG_SZ }
  [ "${quiet:0:1}" = '"' ] || die "QuietUninstallString does not start with a quoted path: $quiet"
  uninstaller=${quiet:1}; uninstaller=${uninstaller%%\"*}
  read -r -a uargs <<<"${quiet:$((${#uninstaller} + 2))}"
  uargs+=("$@")
  echo "uninstalling: $uninstaller ${uargs[*]}"
  wine_ "$uninstaller" "${uargs[@]}" || die "uninstaller exited with $?"
  # The uninstaller runs on from a copy in the temporary folder; wait until
  # the prefix has no process left, or, where a service is to run on, until
  # the folder is gone (its service is dealt with before).
  if [ -n "${gone_when_done:-}" ]; then
    for _ in $(seq 1200); do [ -e "$gone_when_done" ] || return 0; sleep 0.2; done
    die "$gone_when_done still there after 240 s"
  fi
  WINEPREFIX=$prefix timeout 240 wineserver -w || die "Wine processes still running after 240 s (a program that was not closed?)"
}

if [ "$scenario" = running ]; then
  [ -f "$running_copy" ] || die "no stand-in program at $running_copy"
  ready_unix=$(unixpath "$ready")
  # Puts the stand-in in place of the installed program and starts it.
  start_copy() {
    rm -f "$ready_unix"
    cp "$running_copy" "$inst_unix/oramet.exe" || die "cannot replace the installed program"
    wine_ "$instdir\\oramet.exe" "$ready" &
    copy_pid=$!
    for _ in $(seq 100); do
      [ -f "$ready_unix" ] && return
      kill -0 "$copy_pid" 2>/dev/null || die "the stand-in ended before its window was up"
      sleep 0.2
    done
    die "the stand-in's window was not up after 20 s"
  }
  # The stand-in must have ended through its close command (exit code 2).
  expect_closed() {
    local rc
    for _ in $(seq 100); do kill -0 "$copy_pid" 2>/dev/null || break; sleep 0.2; done
    if kill -0 "$copy_pid" 2>/dev/null; then
      fail "$1: the running program was not closed"
      return
    fi
    wait "$copy_pid"; rc=$?
    copy_pid=
    [ "$rc" -eq 2 ] || fail "$1: the running program ended with $rc, not 2 from its close command"
  }

  wine_ "$setup" /S || die "setup exited with $?"
  [ -f "$inst_unix/oramet.exe" ] || die "no oramet.exe in $instdir"
  start_copy
  wine_ "$setup" /S || fail "setup over the running program exited with $?"
  expect_closed "update"
  cmp -s "$program" "$inst_unix/oramet.exe" || fail "the running program was not replaced"

  start_copy
  uninstall_with "HKCU\\$uninst_key"
  expect_closed "uninstall"
  [ -e "$inst_unix" ] && fail "$instdir still exists: $(ls -A "$inst_unix" | tr '\n' ' ')"
  expect_no_key "HKCU\\$uninst_key"
  [ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
  echo "all checks passed"
  exit 0
fi

if [ "$scenario" = side-by-side ]; then
  # One copy for this user and one for everybody: each uninstaller removes
  # its own copy and leaves the other alone.
  wine_ "$setup" /S || die "per-user setup exited with $?"
  wine_ "$setup" /S /AllUsers || die "all-users setup exited with $?"
  mine=$(unixpath "$local_appdata\\Programs\\Oramet")
  theirs=$(unixpath "$program_files\\Oramet")
  [ -f "$mine/oramet.exe" ] && [ -f "$theirs/oramet.exe" ] || die "the two copies are not both installed"
  uninstall_with "HKLM\\$uninst_key"
  [ -e "$theirs" ] && fail "the all-users copy is still there"
  expect_no_key "HKLM\\$uninst_key"
  [ -e "$(unixpath "$common_menu\\Oramet.lnk")" ] && fail "the all-users shortcut is still there"
  [ -f "$mine/oramet.exe" ] || fail "removing the all-users copy removed the per-user program"
  [ -f "$(unixpath "$user_menu\\Oramet.lnk")" ] || fail "removing the all-users copy removed the per-user shortcut"
  expect_value "HKCU\\$uninst_key" InstallLocation "REG_SZ $local_appdata\\Programs\\Oramet"
  uninstall_with "HKCU\\$uninst_key"
  [ -e "$mine" ] && fail "the per-user copy is still there"
  expect_no_key "HKCU\\$uninst_key"
  [ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
  echo "all checks passed"
  exit 0
fi


if [ "$scenario" = x86-to-x64 ]; then
  [ -f "$earlier" ] || die "no stand-in uninstaller at $earlier"
  # The earlier install as the x86 setup program leaves it: its folder, its
  # entry and the machine's server in the 32-bit view, its service, the user's
  # settings and a start-with-Windows value naming it.
  old_unix=$(unixpath "$earlier_dir")
  mkdir -p "$old_unix" && cp "$program" "$old_unix/oramet.exe" &&
    cp "$service" "$old_unix/oramet-clock.exe" && cp "$earlier" "$old_unix/uninstall.exe" ||
    die "cannot stage $earlier_dir"
  for v in "InstallLocation|$earlier_dir" "UninstallString|\"$earlier_dir\\uninstall.exe\"" \
           "QuietUninstallString|\"$earlier_dir\\uninstall.exe\" /S"; do
    wine_ reg add "HKLM\\$uninst_key" /v "${v%%|*}" /d "${v#*|}" /f /reg:32 >/dev/null ||
      die "cannot stage the entry's ${v%%|*}"
  done
  wine_ reg add "$machine_settings" /v Server /d time.earlier.test /f /reg:32 >/dev/null &&
    wine_ sc create OrametClock binPath= "\"$earlier_dir\\oramet-clock.exe\"" \
      obj= 'NT AUTHORITY\LocalService' >/dev/null &&
    wine_ reg add "$run_key" /v Horalin /d "\"$earlier_dir\\oramet.exe\"" /f >/dev/null &&
    wine_ reg add "$settings" /v Server /d time.example.test /f >/dev/null &&
    wine_ reg add "$settings" /v Interval /t REG_DWORD /d 7200 /f >/dev/null &&
    wine_ reg add "$other_run_key" /v Horalin /d "$earlier_dir\\oramet.exe" /f >/dev/null ||
    die "cannot stage the earlier install's registry"

  wine_ "$setup" "${args[@]}" || die "setup exited with $?"
  called=$(tr -d '\r' <"$(unixpath "$earlier_args")" 2>/dev/null) ||
    die "the earlier uninstaller was not run"
  for a in /S /KeepSettings "_?=$earlier_dir"; do
    [[ " $called" == *" $a"* ]] || fail "the earlier uninstaller ran without $a: [$called]"
  done
  [ -e "$old_unix" ] && fail "$earlier_dir is still there: $(ls -A "$old_unix" | tr '\n' ' ')"
  for f in oramet.exe oramet-clock.exe; do
    expect_machine "$inst_unix/$f"
  done
  cmp -s "$service" "$inst_unix/oramet-clock.exe" || fail "installed oramet-clock.exe differs from the build"
  expect_value "$service_key" ImagePath "REG_SZ \"$instdir\\oramet-clock.exe\""
  expect_service_running "move"
  expect_value "$run_key" Horalin "REG_SZ \"$instdir\\oramet.exe\""
  expect_value "$machine_settings" Server "REG_SZ time.earlier.test"
  expect_value "$settings" Server "REG_SZ time.example.test"
  expect_value "$settings" Interval "REG_DWORD 0x1c20"
  expect_value "HKLM\\$uninst_key" InstallLocation "REG_SZ $instdir"
  # Another account logged on now is seen to at once.
  expect_value "$other_run_key" Horalin "REG_SZ \"$instdir\\oramet.exe\""
  # The rest at their next logon: what Active Setup runs then, run here.
  stub="\"$instdir\\oramet-clock.exe\" /moveautostart \"$earlier_dir\\oramet.exe\""
  expect_value "$active_setup" StubPath "REG_SZ $stub"
  expect_value "$active_setup" Version "REG_SZ 2,7,0,0"
  expect_value "$active_setup" IsInstalled "REG_DWORD 0x1"
  for row in "${earlier_dir,,}\\ORAMET.EXE|\"$instdir\\oramet.exe\"" \
             "\"$portable\\oramet.exe\"|\"$portable\\oramet.exe\"" \
             "\"$earlier_dir\\oramet.exe\" /min|\"$earlier_dir\\oramet.exe\" /min"; do
    wine_ reg add "$run_key" /v Horalin /d "${row%%|*}" /f >/dev/null || die "cannot write the Run value"
    wine_ "$instdir\\oramet-clock.exe" /moveautostart "$earlier_dir\\oramet.exe" ||
      fail "/moveautostart over [${row%%|*}] exited with $?"
    expect_value "$run_key" Horalin "REG_SZ ${row#*|}"
  done
  uninstall_with "HKLM\\$uninst_key"
  [ -e "$inst_unix" ] && fail "$instdir still exists after uninstalling"
  expect_no_key "$service_key"
  expect_no_key "$active_setup"
  [ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
  echo "all checks passed"
  exit 0
fi

# Neither view of HKLM holds the machine's server (WHEN).
expect_no_machine_server() {
  local v
  for v in 64 32; do
    wine_ reg query "$machine_settings" /v Server "/reg:$v" >/dev/null 2>&1 &&
      fail "$1: the machine's server is still in the $v-bit view"
  done
}

if [ "$scenario" = x86-upgrade ]; then
  # What earlier x86 setup programs left on 64-bit Windows.
  wine_ reg add "$machine_settings" /v Server /d time.earlier.test /f /reg:32 >/dev/null ||
    die "cannot stage the 32-bit view's server"
  arch=x86  # entries where the x86 setup program puts them
  wine_ "$as_x86" /S /AllUsers || die "setup exited with $?"
  expect_value "$service_key" ImagePath "REG_SZ \"$instdir\\oramet-clock.exe\""
  expect_service_running "upgrade"
  expect_value "$machine_settings" Server "REG_SZ time.earlier.test"
  wine_ reg query "$machine_settings" /v Server /reg:32 >/dev/null 2>&1 &&
    fail "the server was copied, not moved, out of the 32-bit view"
  uninstall_with "HKLM\\$uninst_key" /KeepSettings
  expect_no_key "$service_key"
  expect_value "$machine_settings" Server "REG_SZ time.earlier.test"
  # A server in each view: the native one wins, and both go.
  wine_ reg add "$machine_settings" /v Server /d time.stale.test /f /reg:32 >/dev/null ||
    die "cannot stage the 32-bit view's server"
  wine_ "$as_x86" /S /AllUsers || die "the second setup exited with $?"
  expect_value "$machine_settings" Server "REG_SZ time.earlier.test"
  uninstall_with "HKLM\\$uninst_key"
  [ -e "$inst_unix" ] && fail "$instdir still exists after uninstalling"
  expect_no_machine_server "uninstall"
  [ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
  echo "all checks passed"
  exit 0
fi

if [ "$scenario" = x86-over-x64 ]; then
  x64dir="$program_files64\\Oramet"
  x64_unix=$(unixpath "$x64dir")
  wine_ "$setup" /S /AllUsers /Server=time.machine.test || die "x64 setup exited with $?"
  for a in "/S /AllUsers" "/S"; do
    # shellcheck disable=SC2086
    wine_ "$as_x86" $a; rc=$?
    [ "$rc" -eq 3 ] || fail "x86 setup $a over the x64 copy exited with $rc, not 3"
  done
  [ -e "$inst_unix" ] && fail "the x86 setup program installed into $instdir"
  [ -e "$(unixpath "$local_appdata\\Programs\\Oramet")" ] && fail "the x86 setup program installed for the user"
  wine_ reg query "HKLM\\$uninst_key" /reg:32 >/dev/null 2>&1 && fail "the x86 setup program made an entry"
  expect_value "$service_key" ImagePath "REG_SZ \"$x64dir\\oramet-clock.exe\""

  # A PC that got both copies before this version: the service is the x86
  # one, started from its own file (as after a restart).
  wine_ sc stop OrametClock >/dev/null
  for _ in $(seq 50); do [ "$(service_state)" = STOPPED ] && break; sleep 0.2; done
  wine_ reg delete "HKLM\\$uninst_key" /v InstallLocation /f /reg:64 >/dev/null &&
    wine_ "$as_x86" /S /AllUsers &&
    wine_ reg add "HKLM\\$uninst_key" /v InstallLocation /d "$x64dir" /f /reg:64 >/dev/null ||
    die "cannot stage both copies"
  expect_value "$service_key" ImagePath "REG_SZ \"$instdir\\oramet-clock.exe\""
  gone_when_done=$x64_unix uninstall_with "HKLM\\$uninst_key"  # the x64 copy's
  expect_service_running "after removing the x64 copy"
  expect_value "$service_key" ImagePath "REG_SZ \"$instdir\\oramet-clock.exe\""
  expect_value "$machine_settings" Server "REG_SZ time.machine.test"
  arch=x86
  uninstall_with "HKLM\\$uninst_key"
  [ -e "$inst_unix" ] && fail "$instdir still exists after uninstalling"
  expect_no_key "$service_key"
  expect_no_machine_server "after removing the x86 copy"
  [ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
  echo "all checks passed"
  exit 0
fi

if [ "$scenario" = own-folder ]; then
  mkdir -p "$inst_unix" && echo mine >"$inst_unix/notes.txt"
fi

# --- install ---------------------------------------------------------------
echo "installing: ${args[*]}"
wine_ "$setup" "${args[@]}" || die "setup exited with $?"

[ -f "$inst_unix/oramet.exe" ] || die "no oramet.exe in $instdir"
cmp -s "$program" "$inst_unix/oramet.exe" || fail "installed oramet.exe differs from the build"
[ -f "$inst_unix/uninstall.exe" ] || fail "no uninstall.exe in $instdir"

lnk=$(unixpath "$menu\\Oramet.lnk")
if [ ! -f "$lnk" ]; then
  fail "no shortcut $menu\\Oramet.lnk"
elif ! grep -qaF "$instdir\\oramet.exe" "$lnk"; then
  fail "shortcut does not point at $instdir\\oramet.exe"
fi
[ -e "$(unixpath "$other_menu\\Oramet.lnk")" ] && fail "shortcut also in $other_menu"

key="$root\\$uninst_key"
reg_dump "$key" >/dev/null || die "no installed-programs entry $key"
expect_value "$key" DisplayName "REG_SZ Oramet"
expect_value "$key" DisplayVersion "REG_SZ 2.07"
expect_value "$key" Publisher "REG_SZ Quellton"
expect_value "$key" DisplayIcon "REG_SZ $instdir\\oramet.exe,0"
expect_value "$key" InstallLocation "REG_SZ $instdir"
expect_value "$key" UninstallString "REG_SZ \"$instdir\\uninstall.exe\""
expect_value "$key" QuietUninstallString "REG_SZ \"$instdir\\uninstall.exe\" /S"
expect_value "$key" NoModify "REG_DWORD 0x1"
expect_value "$key" NoRepair "REG_DWORD 0x1"
if size=$(reg_get "$key" EstimatedSize); then
  kb=$(($(stat -c %s "$program") / 1024))
  case $size in
    "REG_DWORD 0x"*) [ $((${size#REG_DWORD })) -ge "$kb" ] ||
                       fail "EstimatedSize $size below the program's $kb KB" ;;
    *) fail "EstimatedSize is not a DWORD: $size" ;;
  esac
else
  fail "no EstimatedSize"
fi
expect_no_key "$other\\$uninst_key"

# --- the clock service -------------------------------------------------------
if [ "$scenario" = all-users ]; then
  [ -f "$service" ] || die "no clock service at $service"
  cmp -s "$service" "$inst_unix/oramet-clock.exe" || fail "installed oramet-clock.exe differs from the build"
  for f in oramet.exe oramet-clock.exe; do
    expect_machine "$inst_unix/$f"
  done
  expect_service_running "install"
  expect_value "$service_key" ObjectName "REG_SZ NT AUTHORITY\\LocalService"
  expect_value "$service_key" Start "REG_DWORD 0x2"
  expect_value "$service_key" ImagePath "REG_SZ \"$instdir\\oramet-clock.exe\""
  # Windows keeps the required privileges and the restart on failure here;
  # Wine's SCM refuses the first (ERROR_INVALID_LEVEL, and the install goes
  # on without it) and accepts the second without keeping it.
  if privileges=$(reg_get "$service_key" RequiredPrivileges); then
    [ "$privileges" = "REG_MULTI_SZ SeSystemtimePrivilege" ] ||
      fail "required privileges: expected [SeSystemtimePrivilege], got [$privileges]"
    reg_get "$service_key" FailureActions >/dev/null || fail "no restart on failure (FailureActions)"
  else
    echo "note: this SCM keeps no required privileges or failure actions; not checked"
  fi
  expect_value "$machine_settings" Server "REG_SZ time.machine.test"
  expect_value "$eventlog_key" EventMessageFile "REG_EXPAND_SZ $instdir\\oramet-clock.exe"
  expect_value "$eventlog_key" TypesSupported "REG_DWORD 0x7"
  # An administrator's bound, which the uninstaller removes with the server.
  wine_ reg add "$machine_settings" /v MaxPosPhaseCorrection /t REG_DWORD /d 3600 /f /reg:64 \
    >/dev/null || die "cannot write $machine_settings"
  # An update stops the service, replaces it and starts it again.
  wine_ "$setup" /S /AllUsers || fail "the update exited with $?"
  expect_service_running "update"
else
  expect_no_key "$service_key"
  [ -e "$inst_unix/oramet-clock.exe" ] && fail "a per-user install holds the clock service"
fi

# --- what the program and its user leave behind ------------------------------
case $scenario in
  per-user) run_value="$instdir\\oramet.exe" ;;
  all-users) run_value="\"$instdir\\oramet.exe\"" ;;
  own-folder) run_value="\"$portable\\oramet.exe\""
    mkdir -p "$(unixpath "$portable")" && cp "$program" "$(unixpath "$portable")/" ||
      die "cannot place a portable copy in $portable"
    wine_ reg add 'HKCU\SOFTWARE\Velmora\Keep' /v X /t REG_SZ /d 1 /f >/dev/null ||
      die "cannot write HKCU\\SOFTWARE\\Velmora\\Keep" ;;
esac
wine_ reg add "$run_key" /v Horalin /t REG_SZ /d "$run_value" /f >/dev/null ||
  die "cannot write the Run value"
wine_ reg add "$settings" /v Server /t REG_SZ /d time.example.test /f >/dev/null ||
  die "cannot write $settings"

# --- uninstall with the command the entry names ------------------------------
if [ "$scenario" = all-users ]; then
  uninstall_with "$key" /KeepSettings
else
  uninstall_with "$key"
fi

if [ "$scenario" = own-folder ]; then
  [ -f "$inst_unix/notes.txt" ] || fail "the user's own file in $instdir was removed"
  left=$(ls -A "$inst_unix" 2>/dev/null | grep -vx notes.txt)
  [ -z "$left" ] || fail "left in $instdir: $left"
else
  [ -e "$inst_unix" ] && fail "$instdir still exists: $(ls -A "$inst_unix" | tr '\n' ' ')"
fi
[ -e "$lnk" ] && fail "shortcut $menu\\Oramet.lnk still exists"
expect_no_key "$key"

case $scenario in
  own-folder)
    expect_value "$run_key" Horalin "REG_SZ $run_value"
    expect_no_key "$settings"
    reg_dump 'HKCU\SOFTWARE\Velmora\Keep' >/dev/null ||
      fail "the sibling key HKCU\\SOFTWARE\\Velmora\\Keep was removed" ;;
  *)
    reg_get "$run_key" Horalin >/dev/null && fail "Run value Horalin still exists" ;;
esac
case $scenario in
  per-user) expect_no_key 'HKCU\SOFTWARE\Velmora' ;;
  all-users) expect_value "$settings" Server "REG_SZ time.example.test"
    expect_no_key "$service_key"
    expect_no_key "$eventlog_key"
    expect_value "$machine_settings" Server "REG_SZ time.machine.test" ;;
esac

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
