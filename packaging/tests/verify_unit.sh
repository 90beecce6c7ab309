#!/bin/sh
# Checks the service unit with the service manager's own verifier. The unit
# names the installed program, which a build has not installed yet: a copy
# names the built one instead.
#   verify_unit.sh SYSTEMD_ANALYZE UNIT WORKDIR KMOCLIENT
set -eu
analyze=$1 unit=$2 work=$3 client=$4
rm -rf "$work"
mkdir -p "$work"
sed "s|^ExecStart=[^ ]*/kmoclient |ExecStart=$client |" "$unit" >"$work/kmoclient.service"
grep -q "^ExecStart=$client " "$work/kmoclient.service"
out=$("$analyze" verify --man=no "$work/kmoclient.service" 2>&1) || { echo "$out"; exit 1; }
# The verifier also warns without failing; a warning about this unit counts.
if printf '%s\n' "$out" | grep -i 'kmoclient.service'; then
    exit 1
fi
rm -rf "$work"
echo "kmoclient.service verifies"
