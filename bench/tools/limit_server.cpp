// The "limit" the daemon is measured against: a server that does the least any
// server of the same protocol must do, on one thread, with blocking calls.
//
//   limit_server tcp ADDR:PORT FILE... [--seconds S]
//     accept, read the request to its end (head, then CONTENT-LENGTH bytes of
//     body), one write of the next canned answer (the FILEs in turn, one per
//     connection), close.
//   limit_server udp ADDR:PORT FILE... [--interface IFADDR] [--seconds S]
//     every datagram received is answered with every FILE, one datagram each,
//     to the sender. ADDR may be a multicast group: then the server joins it on
//     the interface of IFADDR and answers from IFADDR:PORT.
//
// The process ends by itself after S seconds (default 600), so a forgotten one
// cannot outlive a benchmark run by much.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr size_t kMaxRequest = 64 * 1024;

bool readFile(const char* path, std::string& out) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return false;
  char chunk[16384];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0) out.append(chunk, n);
  const bool ok = ferror(file) == 0;
  fclose(file);
  return ok;
}

bool parseEndpoint(const char* text, sockaddr_in& out) {
  const char* colon = strrchr(text, ':');
  if (colon == nullptr) return false;
  const std::string host(text, colon);
  char* end = nullptr;
  const long port = strtol(colon + 1, &end, 10);
  if (*end != '\0' || port <= 0 || port > 65535) return false;
  out = {};
  out.sin_family = AF_INET;
  out.sin_port = htons(static_cast<uint16_t>(port));
  return inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1;
}

// Bytes the whole request takes once its head is complete in `data`, or 0 while
// the head is still incomplete.
size_t requestLength(std::string_view data) {
  const size_t headEnd = data.find("\r\n\r\n");
  if (headEnd == std::string_view::npos) return 0;
  const std::string_view head = data.substr(0, headEnd + 2);
  size_t body = 0;
  for (size_t line = head.find("\r\n"); line != std::string_view::npos; line = head.find("\r\n", line + 2)) {
    const std::string_view rest = head.substr(line + 2);
    constexpr std::string_view kName = "content-length:";
    if (rest.size() > kName.size() && strncasecmp(rest.data(), kName.data(), kName.size()) == 0) {
      body = strtoul(std::string(rest.substr(kName.size(), rest.find("\r\n") - kName.size())).c_str(), nullptr, 10);
      break;
    }
  }
  return headEnd + 4 + body;
}

bool writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

int serveTcp(const sockaddr_in& address, const std::vector<std::string>& answers) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener, SOMAXCONN) != 0) {
    perror("limit_server: bind/listen");
    return 1;
  }
  std::string buffer(kMaxRequest, '\0');
  for (size_t served = 0;; ++served) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      perror("limit_server: accept");
      return 1;
    }
    size_t have = 0;
    size_t want = 0;
    while (have < buffer.size() && (want == 0 || have < want)) {
      const ssize_t n = read(fd, buffer.data() + have, buffer.size() - have);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      have += static_cast<size_t>(n);
      if (want == 0) want = requestLength(std::string_view(buffer.data(), have));
    }
    if (want != 0 && have >= want) writeAll(fd, answers[served % answers.size()]);
    close(fd);
  }
}

int serveUdp(const sockaddr_in& address, const in_addr& interface, const std::vector<std::string>& answers) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local = address;
  const bool group = IN_MULTICAST(ntohl(address.sin_addr.s_addr));
  if (group) local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
    perror("limit_server: bind");
    return 1;
  }
  if (group) {
    ip_mreq membership{address.sin_addr, interface};
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) != 0) {
      perror("limit_server: IP_ADD_MEMBERSHIP");
      return 1;
    }
  }
  char buffer[4096];
  for (;;) {
    sockaddr_in sender{};
    socklen_t length = sizeof(sender);
    const ssize_t n = recvfrom(fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&sender), &length);
    if (n < 0) {
      if (errno == EINTR) continue;
      perror("limit_server: recvfrom");
      return 1;
    }
    for (const std::string& answer : answers) {
      sendto(fd, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&sender), length);
    }
  }
}

int usage() {
  fprintf(stderr, "usage: limit_server tcp|udp ADDR:PORT FILE... [--interface IFADDR] [--seconds S]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return usage();
  const std::string mode = argv[1];
  sockaddr_in address{};
  if ((mode != "tcp" && mode != "udp") || !parseEndpoint(argv[2], address)) return usage();
  unsigned seconds = 600;
  in_addr interface{};
  std::vector<std::string> answers;
  for (int i = 3; i < argc; ++i) {
    if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = static_cast<unsigned>(strtoul(argv[++i], nullptr, 10));
      continue;
    }
    if (strcmp(argv[i], "--interface") == 0 && i + 1 < argc) {
      if (inet_pton(AF_INET, argv[++i], &interface) != 1) return usage();
      continue;
    }
    std::string answer;
    if (!readFile(argv[i], answer) || answer.empty()) {
      fprintf(stderr, "limit_server: cannot read %s\n", argv[i]);
      return 1;
    }
    answers.push_back(std::move(answer));
  }
  if (answers.empty() || seconds == 0) return usage();
  alarm(seconds);  // SIGALRM's default action ends the process
  return mode == "tcp" ? serveTcp(address, answers) : serveUdp(address, interface, answers);
}
