// Who may talk to the preview. A browser sends requests to it on behalf of any page it has
// open, so the preview answers only requests that name its own address (a page whose name
// was made to resolve to this machine is refused), takes changes only as JSON from its own
// page (a form or a "simple" cross-site request is refused), and when it listens beyond this
// machine, only requests that carry the token printed at start.
#pragma once

#include <optional>
#include <set>
#include <string>

namespace httplib {
struct Request;
}

namespace vzcli {

class RequestGuard {
 public:
  // `listen` as the server binds it; a token is made unless it is a loopback address.
  RequestGuard(const std::string& listen, int port);

  struct Refusal {
    int status;
    std::string reason;  // one line
  };
  std::optional<Refusal> Check(const httplib::Request& req) const;

  // Empty where none is needed.
  const std::string& token() const { return token_; }
  // The cookie that carries the token for the page's own requests, once the page was opened
  // with it in the address; empty where no token is needed.
  std::string Cookie() const;
  // The address to open: http://HOST:PORT/, with ?token=... where one is needed.
  std::string Url() const;

 private:
  bool HasToken(const httplib::Request& req) const;

  std::string shown_host_;       // the host of Url()
  std::set<std::string> hosts_;  // Host header values accepted, lower case
  int port_;
  std::string token_, cookie_name_;
};

// Whether `address` names this machine only (127.0.0.0/8, ::1, localhost).
bool IsLoopback(const std::string& address);

}  // namespace vzcli
