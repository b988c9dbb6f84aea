#include "net/http_url.h"

#include <cstdio>
#include <cstring>

bool httpParseUrl(const char* url, http_url_t* out) {
  static const char plain[] = "http://";
  static const char secure[] = "https://";
  const char* host = nullptr;
  if (strncmp(url, plain, sizeof plain - 1) == 0) {
    out->tls = false;
    host = url + sizeof plain - 1;
  } else if (strncmp(url, secure, sizeof secure - 1) == 0) {
    out->tls = true;
    host = url + sizeof secure - 1;
  } else {
    return false;
  }
  // The host ends at its port's ':' or at the resource's '/'; a ':' further
  // on belongs to the resource.
  const size_t host_len = strcspn(host, ":/");
  if (host_len == 0 || host_len >= sizeof out->host) return false;
  memcpy(out->host, host, host_len);
  out->host[host_len] = '\0';

  const char* rest = host + host_len;
  if (*rest == ':') {
    const char* port_text = rest + 1;
    const size_t port_len = strcspn(port_text, "/");
    if (port_len == 0 || port_len > 5 || strspn(port_text, "0123456789") < port_len) return false;
    long port = 0;
    for (size_t k = 0; k < port_len; ++k) port = port * 10 + (port_text[k] - '0');
    if (port < 1 || port > 65535) return false;
    memcpy(out->port, port_text, port_len);
    out->port[port_len] = '\0';
    rest = port_text + port_len;
  } else {
    snprintf(out->port, sizeof out->port, "%s", out->tls ? "443" : "80");
  }
  out->resource = rest;
  return true;
}
