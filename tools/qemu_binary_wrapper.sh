#!/bin/sh
# Stands in for the arm64 vantrel_vpn where no binfmt_misc handler runs arm64
# binaries: the tests copy this script into their sandbox as app/vantrel_vpn
# and exec it. The real binary (VANTREL_ARM64_BINARY) is bind-mounted over
# this very path in a mount namespace of its own, so qemu-user, which answers
# the guest's readlink("/proc/self/exe") with the path it was given, points the
# supervisor at the sandbox's app directory, and nothing is left behind.
exec unshare --mount --propagation private sh -ec \
  'mount --bind "$VANTREL_ARM64_BINARY" "$0"; exec qemu-aarch64 "$0" "$@"' "$0" "$@"
