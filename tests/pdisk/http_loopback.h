// A small HTTP/1.1 server on 127.0.0.1 for the download tests and benchmarks:
// one thread accepts, one thread a connection; every connection is closed
// after its answer. Routes:
//   /body/N        N bytes of a fixed pattern (byte i = i * 7 % 251)
//   /missing       404 with a short page
//   /redirect/N    302 to /body/N
//   /loop          302 to itself
//   /stall         headers, then nothing until the server stops
//   /endless       a body without end (chunked)
//   /slow/MS/N     N pattern bytes after MS milliseconds
//   /cart/NAME     "cartridge NAME"; /cart/missing.kvt is a 404
//   /fixed         the bytes of fixed_body (set before start)
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct http_loopback {
  int listen_fd = -1;
  int port = 0;
  std::atomic<bool> stopping{false};
  std::thread acceptor;
  std::mutex lock;
  std::vector<std::thread> connections;
  std::vector<int> open_fds;
  std::string fixed_body;

  static std::string pattern(int64_t n) {
    std::string s(size_t(n), '\0');
    for (int64_t i = 0; i < n; i++) s[size_t(i)] = char(i * 7 % 251);
    return s;
  }

  bool start() {
    listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd < 0) return false;
    int one = 1;
    setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listen_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listen_fd, 512) != 0)
      return false;
    socklen_t len = sizeof a;
    getsockname(listen_fd, reinterpret_cast<sockaddr *>(&a), &len);
    port = ntohs(a.sin_port);
    acceptor = std::thread([this] { accept_loop(); });
    return true;
  }

  std::string url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }

  void stop() {
    stopping = true;
    if (acceptor.joinable()) acceptor.join();
    {
      std::lock_guard<std::mutex> g(lock);
      for (int fd : open_fds) shutdown(fd, SHUT_RDWR);
    }
    for (std::thread &t : connections) t.join();
    connections.clear();
    if (listen_fd >= 0) close(listen_fd);
    listen_fd = -1;
  }

  ~http_loopback() { stop(); }

  void accept_loop() {
    while (!stopping) {
      pollfd p{listen_fd, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> g(lock);
      open_fds.push_back(fd);
      connections.emplace_back([this, fd] { serve(fd); });
    }
  }

  bool send_all(int fd, const std::string &s) {
    size_t done = 0;
    while (done < s.size() && !stopping) {
      ssize_t n = send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += size_t(n);
    }
    return done == s.size();
  }

  void wait_for_stop(int64_t ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopping && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  void answer(int fd, int code, const std::string &extra_headers, const std::string &body) {
    const char *reason = code == 200 ? "OK" : code == 302 ? "Found" : "Not Found";
    send_all(fd, "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\nConnection: close\r\n" + extra_headers +
                     "\r\n" + body);
  }

  void serve(int fd) {
    std::string request;
    char chunk[2048];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      pollfd p{fd, POLLIN, 0};
      if (stopping || poll(&p, 1, 50) < 0) break;
      if (!(p.revents & POLLIN)) continue;
      ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      request.append(chunk, size_t(n));
    }
    size_t sp = request.find(' ');
    std::string path = sp == std::string::npos ? "" : request.substr(sp + 1, request.find(' ', sp + 1) - sp - 1);
    auto number_after = [&](const std::string &head) { return std::stoll(path.substr(head.size())); };
    if (path.starts_with("/body/")) {
      answer(fd, 200, "", pattern(number_after("/body/")));
    } else if (path.starts_with("/redirect/")) {
      answer(fd, 302, "Location: /body/" + path.substr(10) + "\r\n", "");
    } else if (path == "/loop") {
      answer(fd, 302, "Location: /loop\r\n", "");
    } else if (path == "/stall") {
      send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n");
      wait_for_stop(60000);
    } else if (path == "/endless") {
      send_all(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
      std::string piece = "10000\r\n" + std::string(0x10000, 'e') + "\r\n";
      while (!stopping && send_all(fd, piece)) {
      }
    } else if (path.starts_with("/slow/")) {
      size_t cut = path.find('/', 6);
      wait_for_stop(std::stoll(path.substr(6, cut - 6)));
      answer(fd, 200, "", pattern(std::stoll(path.substr(cut + 1))));
    } else if (path == "/fixed") {
      send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(fixed_body.size()) +
                       "\r\nConnection: close\r\n\r\n");
      send_all(fd, fixed_body);
    } else if (path == "/cart/missing.kvt") {
      answer(fd, 404, "", "no such cartridge");
    } else if (path.starts_with("/cart/")) {
      answer(fd, 200, "", "cartridge " + path.substr(6));
    } else {
      answer(fd, 404, "", "no such page");
    }
    std::lock_guard<std::mutex> g(lock);
    std::erase(open_fds, fd);
    close(fd);
  }
};
