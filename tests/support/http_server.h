// A small HTTP/1.1 server on 127.0.0.1 for download tests: it listens on an ephemeral port, serves
// every connection on a thread of its own through the test's route function and closes the
// connection after one response. Nothing leaves the machine. stop() (or the destructor) ends every
// connection, also those that stall or send without end.
#pragma once

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/wait.h"

struct test_http_connection {
  int fd;
  const std::atomic<bool> *stopping;

  bool stopped() const { return stopping->load(); }

  // False once the client has gone or the server stops.
  bool send_text(const std::string &text) { return send_bytes(text.data(), text.size()); }
  bool send_bytes(const void *data, size_t n) {
    const char *p = (const char *)data;
    while (n > 0) {
      if (stopped()) return false;
      pollfd w{fd, POLLOUT, 0};
      if (poll(&w, 1, 50) <= 0) continue;
      ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
      if (k <= 0) return false;
      p += k;
      n -= (size_t)k;
    }
    return true;
  }
  // Holds the connection open without sending until the client closes it or the server stops.
  void stall() {
    char sink[256];
    while (!stopped()) {
      pollfd r{fd, POLLIN, 0};
      if (poll(&r, 1, 50) > 0 && ::recv(fd, sink, sizeof sink, 0) <= 0) return;
    }
  }
  // Waits until the client has read every byte sent so far (the client's side of the connection
  // is in this process, and the kernel tells how much waits in its receive queue); false when it
  // has not at the limit or the server stops. What a download has taken is then known, whatever
  // the load: a header taken means the open has seen it.
  bool wait_until_taken() {
    return test_wait_until([&] { return stopped() || sent_bytes_taken(); }) && !stopped();
  }
  bool sent_bytes_taken() {
    int unsent = 0;
    if (ioctl(fd, SIOCOUTQ, &unsent) != 0 || unsent != 0) return false;
    sockaddr_in self{}, peer{};
    socklen_t n = sizeof self;
    if (getsockname(fd, (sockaddr *)&self, &n) != 0) return false;
    n = sizeof peer;
    if (getpeername(fd, (sockaddr *)&peer, &n) != 0) return false;
    // The client's socket: local address the peer's, remote address this one's, as hexadecimal
    // words in network order; "tx_queue:rx_queue" follows the state.
    char local[32], remote[32];
    snprintf(local, sizeof local, "%08X:%04X", peer.sin_addr.s_addr, ntohs(peer.sin_port));
    snprintf(remote, sizeof remote, "%08X:%04X", self.sin_addr.s_addr, ntohs(self.sin_port));
    std::ifstream table("/proc/net/tcp");
    for (std::string line; std::getline(table, line);) {
      if (line.find(std::string(local) + " " + remote) == std::string::npos) continue;
      size_t colon = line.find(':', line.find(remote) + 14);
      return colon != std::string::npos && strtoul(line.c_str() + colon + 1, nullptr, 16) == 0;
    }
    return false;
  }
  // A status line, the given header lines and the blank line.
  bool send_head(int status, const std::string &headers) {
    return send_text("HTTP/1.1 " + std::to_string(status) + " X\r\nConnection: close\r\n" + headers + "\r\n");
  }
  bool send_response(int status, const std::string &body) {
    return send_head(status, "Content-Length: " + std::to_string(body.size()) + "\r\n") && send_text(body);
  }
};

typedef std::function<void(test_http_connection &, const std::string &path)> test_http_route;

class test_http_server {
 public:
  explicit test_http_server(test_http_route route) : route_(std::move(route)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    ::bind(listen_fd_, (sockaddr *)&a, sizeof a);
    ::listen(listen_fd_, 64);
    socklen_t len = sizeof a;
    getsockname(listen_fd_, (sockaddr *)&a, &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
  }
  ~test_http_server() { stop(); }

  void stop() {
    if (stopping_.exchange(true)) return;
    acceptor_.join();
    std::vector<std::thread> handlers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      handlers.swap(handlers_);
    }
    for (auto &h : handlers) h.join();
    ::close(listen_fd_);
  }

  int port() const { return port_; }
  std::string url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // Requests served so far.
  int requests() const { return requests_.load(); }
  std::string last_user_agent() {
    std::lock_guard<std::mutex> lock(mutex_);
    return user_agent_;
  }
  // The request line and header of the last request served.
  std::string last_request() {
    std::lock_guard<std::mutex> lock(mutex_);
    return request_;
  }

  // A port on which nothing listens: bound once and closed again.
  static int unused_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, (sockaddr *)&a, sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, (sockaddr *)&a, &len);
    ::close(fd);
    return ntohs(a.sin_port);
  }

 private:
  void accept_loop() {
    while (!stopping_.load()) {
      pollfd p{listen_fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int fd = ::accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      handlers_.emplace_back([this, fd] { serve(fd); });
    }
  }

  void serve(int fd) {
    std::string request;
    char chunk[1024];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536 && !stopping_.load()) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      ssize_t k = ::recv(fd, chunk, sizeof chunk, 0);
      if (k <= 0) break;
      request.append(chunk, (size_t)k);
    }
    size_t sp1 = request.find(' ');
    size_t sp2 = sp1 == std::string::npos ? sp1 : request.find(' ', sp1 + 1);
    if (sp2 != std::string::npos) {
      requests_.fetch_add(1);
      size_t ua = request.find("User-Agent: ");
      if (ua != std::string::npos) {
        std::lock_guard<std::mutex> lock(mutex_);
        user_agent_ = request.substr(ua + 12, request.find("\r\n", ua) - ua - 12);
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        request_ = request;
      }
      test_http_connection c{fd, &stopping_};
      route_(c, request.substr(sp1 + 1, sp2 - sp1 - 1));
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
  }

  test_http_route route_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> requests_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> handlers_;
  std::string user_agent_;
  std::string request_;
};
