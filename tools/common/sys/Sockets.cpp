#include "Sockets.h"

#include <cstring>

#include "Io.h"

namespace sim {

bool resolve_ipv4(const std::string& host, int port, sockaddr_in& addr, std::string& error) {
  start_sockets();
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (host.empty() || host == "*") {
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    return true;
  }
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0 || !res) {
    error = "cannot resolve " + host + ": " + gai_strerror(rc);
    return false;
  }
  addr.sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
  freeaddrinfo(res);
  return true;
}

int local_port(Handle fd) {
  sockaddr_in addr{};
  SockLen len = sizeof addr;
  if (getsockname(native_socket(fd), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
  return ntohs(addr.sin_port);
}

std::string peer_text(Handle fd) {
  sockaddr_in addr{};
  SockLen len = sizeof addr;
  if (getpeername(native_socket(fd), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return "?";
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(addr.sin_port));
}

bool socket_addresses(Handle fd, uint32_t& own_ip, uint16_t& own_port, uint32_t& peer_ip, uint16_t& peer_port) {
  sockaddr_in a{}, b{};
  SockLen la = sizeof a, lb = sizeof b;
  if (getsockname(native_socket(fd), reinterpret_cast<sockaddr*>(&a), &la) != 0 ||
      getpeername(native_socket(fd), reinterpret_cast<sockaddr*>(&b), &lb) != 0)
    return false;
  if (a.sin_family != AF_INET || b.sin_family != AF_INET) return false;
  own_ip = ntohl(a.sin_addr.s_addr);
  own_port = ntohs(a.sin_port);
  peer_ip = ntohl(b.sin_addr.s_addr);
  peer_port = ntohs(b.sin_port);
  return true;
}

} // namespace sim
