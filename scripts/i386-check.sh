#!/usr/bin/env bash
# Exit 0 when this kernel runs 32-bit x86 (i386) programs; otherwise print the
# reason on stderr and exit 1. Needs no i386 package: it writes a 96-byte
# static i386 ELF program (exit(7) through int 0x80) and runs it.
set -u

elf() {
  # ELF header: 32-bit, little-endian, executable for i386, entry 0x08048054,
  # one program header at offset 52, no section headers.
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
  printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
  printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x28\x00'
  printf '\x00\x00\x00\x00'
  # Program header: one read+execute segment holding the whole file at
  # 0x08048000.
  printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
  printf '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
  # mov ebx, 7; mov eax, 1 (exit); int 0x80
  printf '\xbb\x07\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80'
}

# Runs the probe from a directory; prints the shell's error on failure.
probe_in() {
  local dir out rc
  dir=$(mktemp -d "$1/i386-check.XXXXXX" 2>/dev/null) || return 2
  elf >"$dir/probe" && chmod +x "$dir/probe"
  out=$( ("$dir/probe") 2>&1)
  rc=$?
  rm -rf "$dir"
  if [ "$rc" -eq 7 ]; then return 0; fi
  out=${out##*: } # the shell's "<script>: line N: <path>: " prefix
  reason="the kernel refuses i386 programs (${out:-exit status $rc})"
  case "$out" in *"Permission denied"*) return 2 ;; esac # a noexec directory
  return 1
}

reason=
cache="${SERVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/servane}"
for dir in "${TMPDIR:-/tmp}" "$cache"; do
  mkdir -p "$dir" 2>/dev/null
  probe_in "$dir"
  case $? in
    0) exit 0 ;;
    1) break ;;
  esac
done

hint=$(dmesg 2>/dev/null | grep -m1 -i '32-bit emulation' | sed 's/^\[[^]]*\] *//')
if [ -z "$hint" ] && grep -qw 'ia32_emulation=off' /proc/cmdline 2>/dev/null; then
  hint="booted with ia32_emulation=off"
fi
echo "i386-check: ${reason:-no directory to run a probe from}${hint:+: $hint}" >&2
exit 1
