// A one-connection TCP server on loopback that plays scripted bytes, for tests of clients that
// must cope with whatever a peer sends: pieces with pauses between them, a connection held open
// without a further byte, or closed early.
#pragma once
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/handles.h"

namespace testkit {

class ScriptedServer {
 public:
  struct Piece {
    int delay_ms;       // pause before the piece is sent
    std::string bytes;
  };
  // Listens on a free loopback port at once. The first connection is served: its request is
  // read up to the first empty line ("\r\n\r\n", at most 64 KiB), then the pieces are sent, then
  // the connection stays open for hold_ms (cut short when the server is stopped) and is closed.
  explicit ScriptedServer(std::vector<Piece> pieces, int hold_ms = 0);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int port() const { return port_; }
  // Stops the server (ending any hold at once) and tells what it read / how many connections
  // it took (0 or 1).
  std::string request();
  int connections();

 private:
  void finish();
  void pause(int ms);
  void serve();

  std::vector<Piece> pieces_;
  int hold_ms_;
  ld::UniqueFd listener_;
  int port_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::string request_;
  int connections_ = 0;
};

}  // namespace testkit
