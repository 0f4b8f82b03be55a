// mohsim's rcon socket: one UDP socket on 127.0.0.1 and a thread that
// answers each request datagram.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tools/mohsim/mohsim.h"

namespace kv::mohsim {

bool TMohSim::Listen(uint16_t port, std::string& error) {
  if (socket_ >= 0) {
    error = "already listening";
    return false;
  }
  const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (s < 0) {
    error = std::strerror(errno);
    return false;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    error = "cannot bind 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(s);
    return false;
  }
  socket_ = s;
  port_ = ntohs(addr.sin_port);
  stop_ = false;
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void TMohSim::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
}

void TMohSim::Serve() {
  // Larger than any request the game accepts; longer datagrams are cut.
  std::vector<char> buffer(16384);
  while (!stop_) {
    pollfd p{socket_, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) continue;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n =
        ::recvfrom(socket_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) continue;
    char ip[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
    const std::string address = std::string(ip) + ":" + std::to_string(ntohs(from.sin_port));
    const auto replies = HandleDatagram(std::string(buffer.data(), static_cast<size_t>(n)), address);
    if (muted_) continue;
    for (int copy = 0; copy < copies_.load(); ++copy)
      for (const auto& d : replies)
        ::sendto(socket_, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&from), len);
  }
}

}  // namespace kv::mohsim
