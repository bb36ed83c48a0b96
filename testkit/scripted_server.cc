#include "testkit/scripted_server.h"

#include <sys/socket.h>

#include <chrono>

#include "common/net.h"

namespace testkit {

namespace {
constexpr size_t kRequestMax = 65536;
}

ScriptedServer::ScriptedServer(std::vector<Piece> pieces, int hold_ms)
    : pieces_(std::move(pieces)), hold_ms_(hold_ms) {
  std::string err;
  listener_ = ld::tcp_listen(0, 4, true, &err);
  if (!listener_.valid()) return;  // port() stays -1: the client's connect fails
  port_ = ld::local_port(listener_.get());
  thread_ = std::thread([this] { serve(); });
}

ScriptedServer::~ScriptedServer() { finish(); }

std::string ScriptedServer::request() {
  finish();
  return request_;
}

int ScriptedServer::connections() {
  finish();
  return connections_;
}

void ScriptedServer::finish() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void ScriptedServer::pause(int ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stop_ && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void ScriptedServer::serve() {
  while (!stop_ && ld::wait_readable(listener_.get(), 20) != 1) {
  }
  if (stop_) return;
  ld::UniqueFd c(ld::tcp_accept(listener_.get()));
  if (!c.valid()) return;
  ++connections_;
  char b;
  while (request_.size() < kRequestMax && request_.find("\r\n\r\n") == std::string::npos &&
         ld::wait_readable(c.get(), 2000) == 1 && ::recv(c.get(), &b, 1, 0) == 1)
    request_ += b;
  for (const Piece& p : pieces_) {
    pause(p.delay_ms);
    if (::send(c.get(), p.bytes.data(), p.bytes.size(), MSG_NOSIGNAL) < 0) return;
  }
  pause(hold_ms_);
}

}  // namespace testkit
