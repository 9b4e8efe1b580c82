#!/usr/bin/env bash
# Runs a link command and drops one known, harmless linker warning from its output: Debian's
# libcurl (GnuTLS flavour) pulls libssh2, which needs OpenSSL's libcrypto.so.3, while the program
# links BoringSSL's libcrypto.so.0 by full path. The program never calls libssh2, and a standing
# test (tests/linkage/LinkageTest.cc) checks that the crypto symbols resolve into BoringSSL.
# Every other line, and the command's status, pass through unchanged.
set -o pipefail
"$@" 2> >(grep -v -E '^/usr/bin/ld: warning: libcrypto\.so\.3, needed by .*libssh2\.so\.[0-9]+, may conflict with libcrypto\.so\.0$' >&2)
status=$?
wait
exit $status
