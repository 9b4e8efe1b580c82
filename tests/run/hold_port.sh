# Sourced by the run tests: hold_free_port FILE listens on a free 127.0.0.1 port (the kernel
# picks it) for up to two minutes, sets `holder` to the holding process and `port` to the port.
hold_free_port() {
  python3 -c '
import socket, time
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen()
print(s.getsockname()[1], flush=True)
time.sleep(120)
' >"$1" &
  holder=$!
  for _ in $(seq 100); do [ -s "$1" ] && break; sleep 0.05; done
  port=$(cat "$1")
}
