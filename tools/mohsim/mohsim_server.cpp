// mohsim's rcon transport: one UDP socket on 127.0.0.1 and a thread that
// answers each request datagram, the reply buffer that splits long replies
// at print calls, and the per-address rate limit.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "tools/mohsim/mohsim.h"

namespace kv::mohsim {

namespace {

const char* const kPrintHeaderMohaa = "\xFF\xFF\xFF\xFF\x01print\n";
const char* const kPrintHeaderQuake = "\xFF\xFF\xFF\xFFprint\n";

// An rcon request in a form this server answers: what its rate limit counts.
bool IsRconRequest(const std::string& d, bool quake) {
  if (d.compare(0, 4, "\xFF\xFF\xFF\xFF") != 0) return false;
  size_t pos = 4;
  if (pos < d.size() && d[pos] == '\x02')
    ++pos;
  else if (!quake)
    return false;
  std::string word = d.substr(pos, 5);
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return word == "rcon ";
}

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::vector<std::string> LinePrints(const std::string& text) {
  std::vector<std::string> prints;
  for (size_t pos = 0; pos < text.size();) {
    const size_t end = std::min(text.find('\n', pos), text.size() - 1) + 1;
    prints.push_back(text.substr(pos, end - pos));
    pos = end;
  }
  return prints;
}

std::vector<std::string> TMohSim::ReplyDatagrams(const std::vector<std::string>& prints, bool quake_style,
                                                 size_t buffer) {
  const std::string header = quake_style ? kPrintHeaderQuake : kPrintHeaderMohaa;
  std::vector<std::string> out;
  std::string pending;
  for (const auto& p : prints) {
    if (pending.size() + p.size() > buffer && !pending.empty()) {
      out.push_back(header + pending);
      pending.clear();
    }
    pending.append(p, 0, buffer - pending.size());
  }
  out.push_back(header + pending);
  return out;
}

std::vector<std::string> TMohSim::ReplyDatagrams(const std::string& text, bool quake_style, size_t buffer) {
  return ReplyDatagrams(LinePrints(text), quake_style, buffer);
}

bool TRconRateLimit::Allow(uint32_t address, int64_t now_ms) {
  constexpr int kBurst = 10;
  constexpr int64_t kPeriodMs = 1000;
  TBucket& b = buckets_[address];
  const int64_t elapsed = now_ms - b.since_ms;
  const int64_t expired = elapsed / kPeriodMs;
  // Each whole second that passed takes one request off the count.
  if (elapsed < 0 || expired > b.count) {
    b.count = 0;
    b.since_ms = now_ms;
  } else {
    b.count -= static_cast<int>(expired);
    b.since_ms += expired * kPeriodMs;
  }
  if (b.count >= kBurst) return false;
  ++b.count;
  return true;
}

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
    const std::string request(buffer.data(), static_cast<size_t>(n));
    // Over the limit the server neither answers nor logs the request.
    if (rate_limited_ && IsRconRequest(request, quake_) &&
        !limit_.Allow(ntohl(from.sin_addr.s_addr), NowMs())) {
      ++dropped_;
      continue;
    }
    const auto replies = HandleDatagram(request, address);
    if (muted_) continue;
    for (int copy = 0; copy < copies_.load(); ++copy)
      for (const auto& d : replies)
        ::sendto(socket_, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&from), len);
  }
}

}  // namespace kv::mohsim
