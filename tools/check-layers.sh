#!/usr/bin/env bash
# Fails when a lower layer includes an upper one. Layers, lowest first: platform, base,
# transport, tls | proxy (side by side: neither includes the other), tcp_client, rcon, cli (the
# terminal client, a top layer like the window in rcon/).
# A test folder (tests/<layer>) keeps to the same order; tests/support, bench/ and tools/
# may include anything.
# Fails too on a socket header, a socket option or a raw descriptor call in proxy/,
# tcp_client/ or rcon/: sockets, descriptors and waits on them belong to transport/ and tls/,
# and everything above reaches them through the I/O handler's interface. Tests may use them
# to play hostile peers.
set -euo pipefail
cd "$(dirname "$0")/.."

rank() {
  case "$1" in
    platform) echo 0 ;;
    base) echo 1 ;;
    transport) echo 2 ;;
    tls | proxy) echo 3 ;;
    tcp_client) echo 4 ;;
    rcon) echo 5 ;;
    cli) echo 6 ;;
    *) echo "" ;;
  esac
}

status=0
for layer in platform base transport tls proxy tcp_client rcon cli; do
  own=$(rank "$layer")
  for dir in "$layer" "tests/$layer"; do
    [ -d "$dir" ] || continue
    while IFS=: read -r file line text; do
      target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([a-z_]+)\/.*/\1/' <<<"$text")
      theirs=$(rank "$target")
      [ -n "$theirs" ] || continue
      if [ "$theirs" -gt "$own" ] || { [ "$theirs" -eq "$own" ] && [ "$target" != "$layer" ]; }; then
        echo "$file:$line: $layer must not include $target: $text" >&2
        status=1
      fi
    done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[a-z_]+/' "$dir" \
               --include='*.h' --include='*.cpp' || true)
  done
done

socket_header='#[[:space:]]*include[[:space:]]*<(sys/socket|sys/eventfd|sys/select|sys/epoll|sys/un|poll|netdb|netinet/[a-z_]+|arpa/inet|unistd|fcntl)\.h>'
socket_option='\b(SOL_SOCKET|SO_[A-Z]+|IPPROTO_[A-Z0-9]+|TCP_[A-Z]+|SHUT_(RD|WR|RDWR))\b'
# Called as ::name(...) anything below is a system call; unqualified, only names no method of
# this code base or of Qt shares.
calls='socket|socketpair|connect|bind|listen|accept|recv|recvfrom|send|sendto|read|write|close|poll|ppoll|select|epoll_wait|shutdown|setsockopt|getsockopt|eventfd|fcntl|ioctl|getaddrinfo|dup'
bare='socket|socketpair|recv|recvfrom|sendto|ppoll|epoll_wait|setsockopt|getsockopt|eventfd|getaddrinfo|freeaddrinfo'
raw_call="(^|[^[:alnum:]_])::($calls)[[:space:]]*\\(|(^|[^[:alnum:]_:.>])($bare)[[:space:]]*\\(|(Binding\\(\\)|FBinding)->Handle\\(\\)"
for dir in proxy tcp_client rcon; do
  while IFS=: read -r file line text; do
    echo "$file:$line: socket work belongs to transport/ or tls/: $text" >&2
    status=1
  done < <(grep -rnE "$socket_header|$socket_option|$raw_call" "$dir" --include='*.h' --include='*.cpp' \
             | grep -vE '^[^:]+:[0-9]+:[[:space:]]*//' || true)
done

[ "$status" -eq 0 ] && echo "layers: no upward include, no socket call above the transport"
exit "$status"
