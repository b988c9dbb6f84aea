#include "net/http_proxy.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>

namespace {

constexpr size_t max_connect_answer = 16384;

struct proxies_t {
  http_proxy_t http{};
  http_proxy_t https{};
  std::string no_proxy;
};

// Set once before the first request, then only read.
proxies_t& proxies() {
  static auto* p = new proxies_t();
  return *p;
}

// %XX decoded; false for a broken escape.
bool percentDecoded(std::string_view in, std::string* out) {
  out->clear();
  for (size_t k = 0; k < in.size(); ++k) {
    if (in[k] != '%') {
      *out += in[k];
      continue;
    }
    if (k + 2 >= in.size() || !isxdigit(static_cast<unsigned char>(in[k + 1])) ||
        !isxdigit(static_cast<unsigned char>(in[k + 2])))
      return false;
    *out += static_cast<char>(std::strtol(std::string(in.substr(k + 1, 2)).c_str(), nullptr, 16));
    k += 2;
  }
  return true;
}

std::string base64(const std::string& in) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t k = 0; k < in.size(); k += 3) {
    const unsigned v = static_cast<unsigned char>(in[k]) << 16 |
                       (k + 1 < in.size() ? static_cast<unsigned char>(in[k + 1]) << 8 : 0) |
                       (k + 2 < in.size() ? static_cast<unsigned char>(in[k + 2]) : 0);
    out += digits[v >> 18 & 63];
    out += digits[v >> 12 & 63];
    out += k + 1 < in.size() ? digits[v >> 6 & 63] : '=';
    out += k + 2 < in.size() ? digits[v & 63] : '=';
  }
  return out;
}

const char* environment(const char* lower, const char* upper) {
  const char* v = std::getenv(lower);
  if ((!v || !*v) && upper) v = std::getenv(upper);
  return v && *v ? v : nullptr;
}

}  // namespace

bool httpParseProxyUrl(const char* url, http_proxy_t* out, char* why, size_t why_size) {
  *out = http_proxy_t{};
  static const char scheme[] = "http://";
  if (strncmp(url, scheme, sizeof scheme - 1) != 0) {
    snprintf(why, why_size, "expected http://[USER:PASSWORD@]HOST[:PORT]");
    return false;
  }
  std::string_view rest(url + sizeof scheme - 1);
  rest = rest.substr(0, rest.find('/'));
  const size_t at = rest.rfind('@');
  if (at != std::string_view::npos) {
    const std::string_view credentials = rest.substr(0, at);
    const size_t colon = credentials.find(':');
    std::string user, password;
    if (!percentDecoded(credentials.substr(0, colon), &user) ||
        (colon != std::string_view::npos && !percentDecoded(credentials.substr(colon + 1), &password)) ||
        user.size() + password.size() > 300) {
      snprintf(why, why_size, "the user name or password is not well formed");
      return false;
    }
    snprintf(out->authorization, sizeof out->authorization, "Basic %s", base64(user + ":" + password).c_str());
    rest = rest.substr(at + 1);
  }
  const std::string hostport = "http://" + std::string(rest) + "/";
  http_url_t parsed;
  if (!httpParseUrl(hostport.c_str(), &parsed)) {
    snprintf(why, why_size, "expected http://[USER:PASSWORD@]HOST[:PORT], the host or port is not one");
    return false;
  }
  memcpy(out->host, parsed.host, sizeof out->host);
  if (rest.find(':') == std::string_view::npos) snprintf(out->port, sizeof out->port, "1080");
  else memcpy(out->port, parsed.port, sizeof out->port);
  return true;
}

bool httpNoProxyMatches(const char* no_proxy, const char* host) {
  const std::string_view h(host);
  std::string_view list(no_proxy);
  while (!list.empty()) {
    const size_t comma = list.find(',');
    std::string_view entry = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    while (!entry.empty() && (entry.front() == ' ' || entry.front() == '\t')) entry.remove_prefix(1);
    while (!entry.empty() && (entry.back() == ' ' || entry.back() == '\t')) entry.remove_suffix(1);
    if (entry == "*") return true;
    if (!entry.empty() && entry.front() == '.') entry.remove_prefix(1);
    if (entry.empty() || entry.size() > h.size()) continue;
    const std::string_view tail = h.substr(h.size() - entry.size());
    bool same = true;
    for (size_t k = 0; k < entry.size() && same; ++k)
      same = tolower(static_cast<unsigned char>(tail[k])) == tolower(static_cast<unsigned char>(entry[k]));
    if (same && (h.size() == entry.size() || h[h.size() - entry.size() - 1] == '.')) return true;
  }
  return false;
}

bool httpUseProxies(const char* proxy_option, char* why, size_t why_size) {
  proxies_t& p = proxies();
  const char* http = proxy_option ? proxy_option : environment("http_proxy", nullptr);
  const char* https = proxy_option ? proxy_option : environment("https_proxy", "HTTPS_PROXY");
  char reason[256];
  for (auto [url, proxy, source] : {std::tuple{http, &p.http, proxy_option ? "--proxy" : "http_proxy"},
                                    std::tuple{https, &p.https, proxy_option ? "--proxy" : "https_proxy"}}) {
    if (url && !httpParseProxyUrl(url, proxy, reason, sizeof reason)) {
      snprintf(why, why_size, "%s: %s", source, reason);
      return false;
    }
  }
  const char* no_proxy = environment("no_proxy", "NO_PROXY");
  p.no_proxy = no_proxy ? no_proxy : "";
  return true;
}

const http_proxy_t* httpProxyFor(const http_url_t& url) {
  const proxies_t& p = proxies();
  const http_proxy_t& proxy = url.tls ? p.https : p.http;
  if (!proxy.host[0] || httpNoProxyMatches(p.no_proxy.c_str(), url.host)) return nullptr;
  return &proxy;
}

proxy_answer_t proxyParseConnectAnswer(const char* data, size_t size, size_t* head_size, char* why,
                                       size_t why_size) {
  const std::string_view all(data, size);
  const size_t end = all.find("\r\n\r\n");
  if (end == std::string_view::npos || end + 4 > max_connect_answer) {
    if (size < max_connect_answer) return proxy_answer_pending;
    snprintf(why, why_size, "proxy: its answer to CONNECT is longer than 16 KiB");
    return proxy_answer_failed;
  }
  // "HTTP/1.x NNN reason"
  const std::string_view line = all.substr(0, all.find("\r\n"));
  if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || line[8] != ' ' || !isdigit(static_cast<unsigned char>(line[9])) ||
      !isdigit(static_cast<unsigned char>(line[10])) || !isdigit(static_cast<unsigned char>(line[11])) ||
      (line.size() > 12 && line[12] != ' ')) {
    snprintf(why, why_size, "proxy: its answer to CONNECT has no HTTP status line");
    return proxy_answer_failed;
  }
  if (line[9] != '2') {
    snprintf(why, why_size, "proxy refused the tunnel: status %.3s", line.data() + 9);
    return proxy_answer_failed;
  }
  *head_size = end + 4;
  return proxy_answer_ok;
}
