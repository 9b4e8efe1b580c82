#!/usr/bin/env bash
# Every read of wall time or uptime goes through platform::Clock (platform/dispatch), so that
# tests can run the program under a manual clock. This fails when code reads a standard clock
# anywhere else. Allowed: the clocks themselves, benchmarks and fuzz targets (they time real
# work: a fuzz target's watchdog bounds the real time of one input), and the two
# tests that check real clocks against the standard ones, and the tests of our servers over real
# sockets (a read deadline or a bomb's answer is real time there, and their waits for another
# thread's event give up after a bound). Time-outs a library keeps by itself
# (libcurl's) are no reads of ours; the headers that wrap them say so. Our servers' socket
# deadlines are Asio timers on the steady clock: they bound peers, whose bytes arrive in real
# time whatever clock a test installs. The app process test that races two peers' bytes spins
# real microseconds between them.
set -euo pipefail
cd "$(dirname "$0")/.."

pattern='steady_clock|high_resolution_clock|(system_clock|utc_clock|file_clock)::now|gettimeofday|clock_gettime|timespec_get|\btime\( *(nullptr|NULL|0)? *\)|std::time\(|\bftime\('
allowed='^(\./)?(platform/dispatch/Clock\.cc|bench/|tests/.*/fuzz/|tests/platform/dispatch/ClockTest\.cc|tests/base/scheduling/ThreadBlockingTest\.cc|tests/platform/net/LoopbackAcceptorTest\.cc|tests/platform/capacitor/CAPWebHost(Bounds)?Test\.cc|tests/app/AppProcessTest\.cc|tests/tools/loopback-http/(LocalServices|ServiceBounds)Test\.cc|tests/support/(RawPeers|KeepAlivePeers|BodyStallPeers)\.h|platform/net/(BodyArrival|RequestWait)\.(h|cc)|platform/capacitor/CAPWebHost\.cc|tools/loopback-http/LoopbackHttpServer\.cc)'

if git rev-parse --is-inside-work-tree > /dev/null 2>&1; then
  sources=$(git ls-files -co --exclude-standard -- '*.h' '*.hpp' '*.c' '*.cc' '*.cpp')
else
  sources=$(find . -path './build*' -prune -o -path './node_modules' -prune -o \
    -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cc' -o -name '*.cpp' \) \
    -print)
fi
found=$(echo "$sources" | grep -Ev "$allowed" | xargs -r grep -nE "$pattern" || true)
if [ -n "$found" ]; then
  echo "Standard clocks read outside platform::Clock:" >&2
  echo "$found" >&2
  exit 1
fi
echo "clock reads: only platform::Clock"
