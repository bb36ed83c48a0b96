# Shell helpers shared by the demo, the deployment tests and the benchmarks. Sourced; defines
# functions only.

# A loopback port that nothing listens on right now.
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# Whether something listens on TCP port PORT.
listening() { ss -Hltn "sport = :$1" | grep -q .; }

# Waits up to 10 s until something listens on PORT; says so on standard error when nothing does.
wait_port() {
  for _ in $(seq 1 200); do listening "$1" && return 0; sleep 0.05; done
  echo "${0##*/}: nothing listens on port $1" >&2
  return 1
}

# wait_for SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds; 1 when it never did.
wait_for() {
  local tries=$(($1 * 10)); shift
  for _ in $(seq 1 "$tries"); do "$@" && return 0; sleep 0.1; done
  return 1
}
