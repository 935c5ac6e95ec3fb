#!/usr/bin/env bash
# Runs a fault-test program on the DB2 host of three network namespaces (see
# make_hosts in road_lib.sh): its fixture starts the stand-in cell server and
# media agent in their own namespaces, so the media agent is remote and every
# link crosses a veth pair. The namespaces are removed whatever happens.
#
#   run_faults_netns.sh <test program> [<its arguments>...]
#
# Exits with the program's status; 77 (skipped) when not run as root or when
# the namespaces cannot be made.
set -euo pipefail
program=$1
shift
. "$(dirname "$0")/road_lib.sh"

made_hosts=()
trap remove_hosts EXIT
trap 'exit 143' INT TERM
make_hosts
status=0
TARN_TEST_NETNS=$hosts ip netns exec "$dbns" "$program" "$@" || status=$?
exit "$status"
