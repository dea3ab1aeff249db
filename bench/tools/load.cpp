// Load generator for the gateway's HTTP and SSDP sides, and for the limit
// server that stands in for it.
//
//   load get PATH HOST                     print a GET request as control points send it
//   load soap CONTROL HOST SERVICE ACTION [NAME=VALUE...]
//                                          print a SOAP request as control points send it
//   load http ADDR:PORT --request FILE [--request FILE...] [common options]
//     one connection per request: connect, write the request (the FILEs in
//     turn), read the answer to the end. Prints rate, p50, p99, worst, failures.
//   load fill ADDR:PORT --request-host HOST --control PATH --service TYPE
//        --client IP --from I --to J [--clients N]
//     AddPortMapping for mappings I..J-1: external port 10000 + i/2, TCP for
//     even i and UDP for odd i, to the same port of IP.
//   load ssdp ADDR:PORT --request FILE [--answers-from ADDR:PORT] [--save PREFIX] [common options]
//     one search at a time from one socket; the time to the first answer.
//     ADDR may be the SSDP group; then --answers-from names the server whose
//     answers count.
//     --answers K: answers to wait for per search (default 1); --save writes
//     the answers of the first search to PREFIX.1, PREFIX.2, ...
//   load flood ADDR:PORT --request FILE [--answers-from ADDR:PORT] [--seconds S]
//     searches sent as fast as the socket takes them; answers counted.
//
// Common options: --clients N (1), --seconds S (2), --count C (no limit),
// --timeout-ms T (5000), --status CODE (200: other answers are failures),
// --save FILE (http: the first answer's bytes). Every run ends after S seconds
// plus one timeout at the latest.
//
// Results go to stdout as one line of key=value pairs.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxAnswer = 1024 * 1024;
constexpr size_t kMaxSamples = 4 * 1024 * 1024;

struct Options {
  sockaddr_in to{};
  sockaddr_in answersFrom{};  // ssdp, flood: whose answers count (default: `to`)
  std::vector<std::string> requests;
  unsigned clients = 1;
  double seconds = 2;
  long count = -1;
  int timeoutMs = 5000;
  int status = 200;
  unsigned answers = 1;
  std::string save;
  // fill
  std::string host, control, service, client;
  long from = 0, upTo = 0;
};

bool readFile(const std::string& path, std::string& out) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  char chunk[16384];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0) out.append(chunk, n);
  fclose(file);
  return true;
}

bool writeFile(const std::string& path, const char* data, size_t size) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok = fwrite(data, 1, size, file) == size;
  return fclose(file) == 0 && ok;
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

std::string getRequest(const std::string& path, const std::string& host) {
  return "GET " + path + " HTTP/1.1\r\nHOST: " + host + "\r\nConnection: close\r\n\r\n";
}

std::string soapRequest(const std::string& control, const std::string& host, const std::string& service,
                        const std::string& action, const std::vector<std::pair<std::string, std::string>>& args) {
  std::string body =
      "<?xml version=\"1.0\"?>\r\n"
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" +
      action + " xmlns:u=\"" + service + "\">";
  for (const auto& [name, value] : args) body += "<" + name + ">" + value + "</" + name + ">";
  body += "</u:" + action + "></s:Body></s:Envelope>\r\n";
  return "POST " + control + " HTTP/1.1\r\nHOST: " + host + "\r\nCONTENT-LENGTH: " + std::to_string(body.size()) +
         "\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nSOAPACTION: \"" + service + "#" + action +
         "\"\r\nConnection: close\r\n\r\n" + body;
}

std::string addPortMapping(const Options& options, long index) {
  const std::string port = std::to_string(10000 + index / 2);
  return soapRequest(options.control, options.host, options.service, "AddPortMapping",
                     {{"NewRemoteHost", ""},
                      {"NewExternalPort", port},
                      {"NewProtocol", index % 2 == 0 ? "TCP" : "UDP"},
                      {"NewInternalPort", port},
                      {"NewInternalClient", options.client},
                      {"NewEnabled", "1"},
                      {"NewPortMappingDescription", "bench " + std::to_string(index)},
                      {"NewLeaseDuration", "0"}});
}

void setTimeouts(int fd, int timeoutMs) {
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

// One request on a new connection. True when the whole answer arrived and
// carries the expected status; `answer` holds what arrived.
bool exchange(const Options& options, const std::string& request, std::string& answer) {
  answer.clear();
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  setTimeouts(fd, options.timeoutMs);
  bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&options.to), sizeof(options.to)) == 0;
  for (size_t done = 0; ok && done < request.size();) {
    const ssize_t n = write(fd, request.data() + done, request.size() - done);
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  char chunk[16384];
  while (ok && answer.size() < kMaxAnswer) {
    const ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n < 0) ok = false;
    if (n <= 0) break;
    answer.append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  const std::string expected = "HTTP/1.1 " + std::to_string(options.status) + " ";
  return ok && answer.compare(0, expected.size(), expected) == 0;
}

struct Totals {
  std::vector<double> latenciesUs;
  long failures = 0;
  double elapsed = 0;
};

void printTotals(Totals& totals, const char* extra = "") {
  std::vector<double>& l = totals.latenciesUs;
  std::sort(l.begin(), l.end());
  auto at = [&](double q) { return l.empty() ? 0.0 : l[std::min(l.size() - 1, static_cast<size_t>(q * l.size()))]; };
  printf("ok=%zu failures=%ld seconds=%.3f rate=%.1f p50_us=%.0f p99_us=%.0f max_us=%.0f%s\n", l.size(),
         totals.failures, totals.elapsed, totals.elapsed > 0 ? l.size() / totals.elapsed : 0.0, at(0.50), at(0.99),
         l.empty() ? 0.0 : l.back(), extra);
}

// Runs `next(i)` -> request for claimed indexes i until the count or the time is
// up, on `clients` threads.
template <typename Next>
Totals runHttp(const Options& options, Next next) {
  std::atomic<long> claimed{0};
  std::atomic<bool> saved{options.save.empty()};
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(options.seconds));
  std::vector<Totals> perClient(options.clients);
  std::vector<std::thread> threads;
  for (unsigned c = 0; c < options.clients; ++c) {
    threads.emplace_back([&, c] {
      Totals& mine = perClient[c];
      std::string answer;
      while (Clock::now() < deadline) {
        const long i = claimed.fetch_add(1);
        if (options.count >= 0 && i >= options.count) break;
        const Clock::time_point begin = Clock::now();
        const bool ok = exchange(options, next(i), answer);
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
        if (!ok) {
          ++mine.failures;
          if (mine.failures <= 3) fprintf(stderr, "load: request %ld failed: %.80s\n", i, answer.c_str());
          continue;
        }
        if (mine.latenciesUs.size() < kMaxSamples) mine.latenciesUs.push_back(us);
        if (!saved.exchange(true)) writeFile(options.save, answer.data(), answer.size());
      }
    });
  }
  for (std::thread& t : threads) t.join();
  Totals totals;
  totals.elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  for (Totals& t : perClient) {
    totals.failures += t.failures;
    totals.latenciesUs.insert(totals.latenciesUs.end(), t.latenciesUs.begin(), t.latenciesUs.end());
  }
  return totals;
}

int udpSocket() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int size = 4 * 1024 * 1024;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  const unsigned char ttl = 4;
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
  sockaddr_in any{};
  any.sin_family = AF_INET;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof(any)) != 0) {
    perror("load: bind");
    exit(1);
  }
  return fd;
}

bool sendRequest(int fd, const Options& options, const std::string& request) {
  return sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&options.to),
                sizeof(options.to)) == static_cast<ssize_t>(request.size());
}

// Waits up to `ms` for a datagram from `options.answersFrom`; its size, or -1.
ssize_t receive(int fd, const Options& options, char* buffer, size_t size, int ms) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const int left = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count());
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, std::max(0, left)) != 1) return -1;
    sockaddr_in from{};
    socklen_t length = sizeof(from);
    const ssize_t n = recvfrom(fd, buffer, size, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n >= 0 && from.sin_addr.s_addr == options.answersFrom.sin_addr.s_addr &&
        from.sin_port == options.answersFrom.sin_port)
      return n;
  }
}

int runSsdp(const Options& options) {
  const int fd = udpSocket();
  const std::string& request = options.requests[0];
  Totals totals;
  char buffer[4096];
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(options.seconds));
  for (long i = 0; Clock::now() < deadline && (options.count < 0 || i < options.count); ++i) {
    while (receive(fd, options, buffer, sizeof(buffer), 0) >= 0) {
    }  // late answers of an earlier search
    const Clock::time_point begin = Clock::now();
    if (!sendRequest(fd, options, request)) {
      ++totals.failures;
      continue;
    }
    ssize_t n = receive(fd, options, buffer, sizeof(buffer), options.timeoutMs);
    if (n <= 0) {
      ++totals.failures;
      continue;
    }
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
    if (totals.latenciesUs.size() < kMaxSamples) totals.latenciesUs.push_back(us);
    for (unsigned k = 1; n > 0; ++k) {
      if (i == 0 && !options.save.empty()) writeFile(options.save + "." + std::to_string(k), buffer, n);
      if (k >= options.answers) break;
      n = receive(fd, options, buffer, sizeof(buffer), i == 0 ? 300 : options.timeoutMs);
    }
  }
  totals.elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  close(fd);
  printTotals(totals);
  return 0;
}

int runFlood(const Options& options) {
  const int fd = udpSocket();
  const std::string& request = options.requests[0];
  std::atomic<bool> sending{true};
  long received = 0;
  std::thread receiver([&] {
    char buffer[4096];
    // After the senders stop, answers still queued get half a second.
    Clock::time_point quietUntil = Clock::time_point::max();
    while (Clock::now() < quietUntil) {
      if (receive(fd, options, buffer, sizeof(buffer), 50) > 0) ++received;
      if (!sending.load() && quietUntil == Clock::time_point::max()) quietUntil = Clock::now() + std::chrono::milliseconds(500);
    }
  });
  long sent = 0, refused = 0;
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(options.seconds));
  while (Clock::now() < deadline) {
    if (sendRequest(fd, options, request)) ++sent;
    else ++refused;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  sending = false;
  receiver.join();
  close(fd);
  printf("sent=%ld send_errors=%ld answers=%ld seconds=%.3f rate=%.1f sent_rate=%.1f\n", sent, refused, received,
         elapsed, received / elapsed, sent / elapsed);
  return 0;
}

int usage() {
  fprintf(stderr,
          "usage: load get PATH HOST | load soap CONTROL HOST SERVICE ACTION [NAME=VALUE...]\n"
          "       load http|ssdp|flood ADDR:PORT --request FILE [options]\n"
          "       load fill ADDR:PORT --request-host H --control P --service T --client IP --from I --to J\n");
  return 2;
}

bool parseOptions(int argc, char** argv, Options& options) {
  for (int i = 0; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (name == "--request") {
      std::string request;
      if (!readFile(value, request) || request.empty()) {
        fprintf(stderr, "load: cannot read %s\n", value);
        return false;
      }
      options.requests.push_back(std::move(request));
    } else if (name == "--clients") options.clients = std::max(1UL, strtoul(value, nullptr, 10));
    else if (name == "--seconds") options.seconds = std::min(3600.0, strtod(value, nullptr));
    else if (name == "--count") options.count = strtol(value, nullptr, 10);
    else if (name == "--timeout-ms") options.timeoutMs = static_cast<int>(strtol(value, nullptr, 10));
    else if (name == "--status") options.status = static_cast<int>(strtol(value, nullptr, 10));
    else if (name == "--answers") options.answers = std::max(1UL, strtoul(value, nullptr, 10));
    else if (name == "--save") options.save = value;
    else if (name == "--answers-from") {
      if (!parseEndpoint(value, options.answersFrom)) return false;
    }
    else if (name == "--request-host") options.host = value;
    else if (name == "--control") options.control = value;
    else if (name == "--service") options.service = value;
    else if (name == "--client") options.client = value;
    else if (name == "--from") options.from = strtol(value, nullptr, 10);
    else if (name == "--to") options.upTo = strtol(value, nullptr, 10);
    else return false;
  }
  return options.clients <= 256 && options.timeoutMs > 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string mode = argv[1];
  if (mode == "get" && argc == 4) {
    fputs(getRequest(argv[2], argv[3]).c_str(), stdout);
    return 0;
  }
  if (mode == "soap" && argc >= 6) {
    std::vector<std::pair<std::string, std::string>> args;
    for (int i = 6; i < argc; ++i) {
      const char* equals = strchr(argv[i], '=');
      if (equals == nullptr) return usage();
      args.emplace_back(std::string(argv[i], static_cast<size_t>(equals - argv[i])), equals + 1);
    }
    fputs(soapRequest(argv[2], argv[3], argv[4], argv[5], args).c_str(), stdout);
    return 0;
  }
  Options options;
  if (argc < 3 || !parseEndpoint(argv[2], options.to)) return usage();
  options.answersFrom = options.to;
  if (!parseOptions(argc - 3, argv + 3, options)) return usage();
  if (mode == "fill") {
    if (options.host.empty() || options.control.empty() || options.service.empty() || options.client.empty() ||
        options.upTo <= options.from)
      return usage();
    options.count = options.upTo - options.from;
    if (options.seconds == 2) options.seconds = 600;
    Totals totals = runHttp(options, [&](long i) { return addPortMapping(options, options.from + i); });
    printTotals(totals);
    return totals.failures == 0 && static_cast<long>(totals.latenciesUs.size()) == options.count ? 0 : 1;
  }
  if (options.requests.empty()) return usage();
  if (mode == "http") {
    Totals totals = runHttp(options, [&](long i) -> const std::string& {
      return options.requests[static_cast<size_t>(i) % options.requests.size()];
    });
    printTotals(totals);
    return 0;
  }
  if (mode == "ssdp") return runSsdp(options);
  if (mode == "flood") return runFlood(options);
  return usage();
}
