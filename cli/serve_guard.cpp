#include "serve_guard.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include <httplib.h>

#include "minihost/controls.h"

namespace vzcli {

namespace {

using minihost::Lower;
using minihost::Trim;

// An address as it stands in a Host header or a URL: IPv6 in brackets.
std::string HostPart(const std::string& address) {
  return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

bool IsWildcard(const std::string& address) {
  return address.empty() || address == "0.0.0.0" || address == "::" || address == "[::]";
}

// The names this machine answers to where the preview listens on every address.
std::set<std::string> OwnAddresses() {
  std::set<std::string> out;
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) == 0 && name[0]) out.insert(Lower(name));
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (const ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr) continue;
    char text[INET6_ADDRSTRLEN] = {};
    const int family = a->ifa_addr->sa_family;
    const void* raw = family == AF_INET
        ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr)
        : family == AF_INET6
        ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(a->ifa_addr)->sin6_addr)
        : nullptr;
    if (raw && inet_ntop(family, raw, text, sizeof text)) out.insert(Lower(text));
  }
  freeifaddrs(list);
  return out;
}

bool SameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string MakeToken() {
  std::random_device random;
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < 32; ++i) token += kHex[random() & 15u];
  return token;
}

}  // namespace

bool IsLoopback(const std::string& address) {
  std::string a = Lower(address);
  if (a.size() > 2 && a.front() == '[' && a.back() == ']') a = a.substr(1, a.size() - 2);
  if (a == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, a.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return inet_pton(AF_INET6, a.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

RequestGuard::RequestGuard(const std::string& listen, int port) : port_(port) {
  std::set<std::string> names = {"127.0.0.1", "localhost", "[::1]", Lower(HostPart(listen))};
  shown_host_ = HostPart(listen);
  if (IsWildcard(listen)) {
    for (const std::string& a : OwnAddresses()) names.insert(HostPart(a));
    char name[256] = {};
    shown_host_ = gethostname(name, sizeof name - 1) == 0 && name[0] ? name : "127.0.0.1";
  }
  for (const std::string& n : names) {
    hosts_.insert(n + ":" + std::to_string(port));
    if (port == 80) hosts_.insert(n);  // browsers leave the default port out
  }
  if (!IsLoopback(listen)) {
    token_ = MakeToken();
    cookie_name_ = "vizmira_token_" + std::to_string(port);
  }
}

std::string RequestGuard::Cookie() const {
  if (token_.empty()) return {};
  return cookie_name_ + "=" + token_ + "; Path=/; HttpOnly; SameSite=Strict";
}

std::string RequestGuard::Url() const {
  std::string url = "http://" + shown_host_ + ":" + std::to_string(port_) + "/";
  if (!token_.empty()) url += "?token=" + token_;
  return url;
}

bool RequestGuard::HasToken(const httplib::Request& req) const {
  if (req.has_param("token") && SameSecret(req.get_param_value("token"), token_)) return true;
  const std::string cookies = req.get_header_value("Cookie");
  size_t start = 0;
  while (start <= cookies.size()) {
    const size_t end = std::min(cookies.find(';', start), cookies.size());
    const std::string pair = Trim(cookies.substr(start, end - start));
    const size_t eq = pair.find('=');
    if (eq != std::string::npos && pair.substr(0, eq) == cookie_name_ &&
        SameSecret(pair.substr(eq + 1), token_))
      return true;
    start = end + 1;
  }
  return false;
}

std::optional<RequestGuard::Refusal> RequestGuard::Check(const httplib::Request& req) const {
  const std::string host = Lower(Trim(req.get_header_value("Host")));
  if (!hosts_.count(host))
    return Refusal{403, "the request names the host '" + host +
                            "'; the preview answers only its own address"};
  if (!token_.empty() && !HasToken(req))
    return Refusal{403, "the request lacks the preview's token: open the address it printed"};
  if (req.method == "GET" || req.method == "HEAD") return std::nullopt;
  if (req.method != "POST") return Refusal{405, "the preview takes GET and POST only"};
  if (req.has_header("Origin") && Lower(Trim(req.get_header_value("Origin"))) != "http://" + host)
    return Refusal{403, "changes come from the preview's own page only, not from " +
                            req.get_header_value("Origin")};
  const std::string type = req.get_header_value("Content-Type");
  if (Lower(Trim(type.substr(0, type.find(';')))) != "application/json")
    return Refusal{415, "the body of a change is JSON (Content-Type: application/json)"};
  return std::nullopt;
}

}  // namespace vzcli
