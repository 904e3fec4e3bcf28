#!/usr/bin/env bash
# Plants realistic faults in the product code, one at a time, and records which tests catch each:
# the suite's fault-catching power, measured. Not part of the test command.
#   scripts/plant-faults.sh [BUILD_DIR] [CTEST_ARGS...]   (default build-faults; e.g. -E hidraw)
# Each fault is one text replacement in one file; the file is restored after its run, also when
# the script is interrupted (it touches nothing else in the work tree). Prints one line per fault: its name and the tests that failed.
# The fields are split at '|': a fault's texts hold no '|' of their own.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build-faults}"
shift || true
"$here/scripts/build.sh" "$build" > /dev/null

# name | file | text as it is | text with the fault (@NL@ stands for a line break)
faults=(
  'block size 47|updater/bsl_client.h|kDownloadBlockSize = 48;|kDownloadBlockSize = 47;'
  'two polls instead of three|library/command_channel.h|kReplyPolls = 3;|kReplyPolls = 2;'
  'reset write two bytes off|updater/update_sequence.h|kResetAddress = 0x0120;|kResetAddress = 0x0122;'
  'file without q accepted|updater/titxt_reader.cpp|unterminated)@NL@    return refuse(|(unterminated && false))@NL@    return refuse('
  'ninth card stored|library/card_context.cpp|context.card_count < kCardTableCapacity; d = d->next|context.card_count <= kCardTableCapacity; d = d->next'
  'wrong byte in a password|updater/bsl_client.cpp|  password.fill(0xFF);|  password.fill(0xFF);@NL@  password[31] = 0xFE;'
  'switch text without its line feed|library/command_channel.cpp|"2102040004ISPE\n"|"2102040004ISPE"'
  'scan button left enabled during an update|updater/dialog/cardflash_logic.cpp|  m_view.EnableButton(DialogButton::kFwUpdate, false);@NL@  // The run takes|  m_view.EnableButton(DialogButton::kFwUpdate, false);@NL@  m_view.EnableButton(DialogButton::kDeviceScan, true);@NL@  // The run takes'
  'old boot-loader path reopened after the RAM boot loader starts|updater/update_sequence.cpp|  return FindAndConnectBootLoader(context, log, false, port) && ConfirmRamBootLoader|  return Tav_BslConnect(context) && ConfirmRamBootLoader'
  'second password reply ignored|updater/update_sequence.cpp|  return Unlocked(log, BslMassErase(context, run.clock)) &&|  return (BslMassErase(context, run.clock), true) &&'
  'RAM boot loader not confirmed|updater/update_sequence.cpp|if (!BslAskVersion(context, run.clock)) {|if (!BslAskVersion(context, run.clock) && false) {'
  'verify off by default|updater/update_sequence.h|bool verify = true;|bool verify = false;'
  'failed block write ignored|updater/bsl_client.cpp|!BslWriteBlock(context, address, staging, size)) return address;|!(BslWriteBlock(context, address, staging, size), true)) return address;'
  'card in its boot loader reported as untouched|updater/headless.cpp|    case CardState::kInBootLoader: return kExitInBootLoader;|    case CardState::kInBootLoader: return kExitFailed;'
  'the reset cut short by Ctrl-C|updater/update_sequence.cpp|  if (run.stop) run.stop->Hold();|'
  'a card pulled out told by the error text|library/card_context.cpp|still_listed(card_row) ? exchange_failure|true ? exchange_failure'
  'boot-loader search not limited to the card port|updater/update_sequence.cpp|: Tav_EnumBootDevAtPort(context, port.c_str())|: Tav_EnumBootDev(context)'
  'ports compared by their start|library/usb_port.cpp|std::strcmp(a, b) == 0|std::strncmp(a, b, std::strlen(a)) == 0'
  'a device that hidapi lists twice taken for two boot loaders|library/boot_loader.cpp|    if (std::find(paths.begin(), paths.end(), path) != paths.end()) continue;@NL@|'
  'a node that changed hands while root-only taken as it is|library/card_context.cpp|still_the_same(entry)) return device;|(still_the_same(entry), true)) return device;'
  'a root-only node not waited for|library/card_context.cpp|waited >= kOpenPatienceMs) break;|waited >= 0) break;'
  'a context at a port that holds every card|library/card_context.cpp|    if (port && !same_port(row.port, port)) {|    if (port && !same_port(row.port, port) && false) {'
  '--all exits with the status of the last card, not the highest|updater/all_cards.cpp|    else exit = std::max(exit, job->exit);|    else exit = job->exit;'
  'every card at once, one after another|updater/all_cards.cpp|  for (std::size_t t = 0; t < at_once; ++t)|  for (std::size_t t = 0; t < 1; ++t)'
  'a failed open reads the global error outside the lock (ThreadSanitizer build)|library/hidapi_global.cpp|  std::lock_guard guard(hidapi_global_lock());@NL@  hid_device* device = hid_open_path(path);|  hid_device* device = hid_open_path(path);'
)

restore=""
backup="$build/fault-backup"
trap '[ -n "$restore" ] && cp "$backup" "$here/$restore"' EXIT
for fault in "${faults[@]}"; do
  IFS='|' read -r name file before after <<< "$fault"
  cp "$here/$file" "$backup"
  restore="$file"
  python3 - "$here/$file" "$before" "$after" <<'EOF'
import sys
path, before, after = sys.argv[1], sys.argv[2].replace('@NL@', '\n'), sys.argv[3].replace('@NL@', '\n')
text = open(path).read()
if text.count(before) != 1:
    sys.exit(f"{path}: the text to replace is not there exactly once: {before!r}")
open(path, 'w').write(text.replace(before, after))
EOF
  caught="(does not build)"
  if cmake --build "$build" > "$build/fault-build.log" 2>&1; then
    ctest --test-dir "$build" -j "$(nproc)" --timeout 300 "$@" > "$build/fault-ctest.log" 2>&1 || true
    caught=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (.*)$/\1/p' "$build/fault-ctest.log" | paste -sd, -)
    [ -n "$caught" ] || caught="NOT CAUGHT"
  fi
  echo "$name: $caught"
  cp "$backup" "$here/$file"
  restore=""
done
cmake --build "$build" > /dev/null
