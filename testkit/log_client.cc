#include "testkit/log_client.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/endpoints.h"
#include "common/fsops.h"
#include "common/net.h"

namespace testkit {
namespace {

constexpr size_t kReadSize = 64 * 1024;
constexpr int kConnectTimeoutMs = 5000;
constexpr int kSendTimeoutMs = 10000;

}  // namespace

void LineTagger::feed(std::string_view data, std::string* out) {
  if (data.empty()) return;
  if (held_cr_) {
    held_cr_ = false;
    if (data[0] != '\n') out->push_back(' ');
  }
  while (!data.empty()) {
    if (at_line_start_) {
      out->append(prefix_);
      at_line_start_ = false;
    }
    size_t lf = data.find('\n');
    size_t len = lf == std::string_view::npos ? data.size() : lf;
    std::string_view text = data.substr(0, len);
    if (!text.empty() && text.back() == '\r') {
      text.remove_suffix(1);
      if (lf == std::string_view::npos) held_cr_ = true;
    }
    size_t start = out->size();
    out->append(text);
    for (size_t i = start; i < out->size(); ++i)
      if ((*out)[i] == '\r') (*out)[i] = ' ';
    if (lf == std::string_view::npos) return;
    out->push_back('\n');
    at_line_start_ = true;
    data.remove_prefix(lf + 1);
  }
}

void LineTagger::finish(std::string* out) {
  held_cr_ = false;
  if (!at_line_start_) out->push_back('\n');
  at_line_start_ = true;
}

int run_log_client(int in_fd, const LogClientOptions& opt, std::string* err) {
  int port = opt.port > 0 ? opt.port : ld::eventlog_port();
  ld::UniqueFd sock = ld::tcp_connect(opt.host, port, kConnectTimeoutMs, err);
  if (!sock.valid()) return 1;
  ld::set_socket_timeouts(sock.get(), 0, kSendTimeoutMs);
  LineTagger tagger(opt.tag);
  std::vector<char> buf(kReadSize);
  std::string out;
  for (;;) {
    ssize_t r = ::read(in_fd, buf.data(), buf.size());
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      *err = std::string("read: ") + std::strerror(errno);
      break;  // what was read still goes out
    }
    if (r == 0) break;
    out.clear();
    tagger.feed(std::string_view(buf.data(), static_cast<size_t>(r)), &out);
    if (!ld::write_all(sock.get(), out.data(), out.size())) {
      *err = std::string("send: ") + std::strerror(errno);
      return 1;
    }
  }
  out.clear();
  tagger.finish(&out);
  if (!ld::write_all(sock.get(), out.data(), out.size())) {
    *err = std::string("send: ") + std::strerror(errno);
    return 1;
  }
  return err->empty() ? 0 : 1;
}

}  // namespace testkit
