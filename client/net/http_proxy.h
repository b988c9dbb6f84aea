// HTTP proxies for the HTTP client: the proxy URL (http://[USER:PASSWORD@]HOST[:PORT],
// port 1080 by default as curl has it), the no_proxy list, which proxy a URL
// goes through, and the parser of a proxy's answer to CONNECT (the tunnel of
// an https:// request). Plain http:// requests go to the proxy in absolute
// form. Credentials go out as Basic Proxy-Authorization and are never printed.
// Proxy URLs and answers are untrusted: parsed within fixed bounds.
#pragma once

#include <cstddef>

#include "net/http_url.h"

struct http_proxy_t {
  char host[http_address_capacity];  // "" : no proxy
  char port[http_port_capacity];
  char authorization[512];  // "Basic ..." or ""
};

// False, with a reason in why that shows no part of the URL, when it is not one.
bool httpParseProxyUrl(const char* url, http_proxy_t* out, char* why, size_t why_size);

// Whether host is in a no_proxy list: comma-separated names (a leading dot
// optional; a name also covers its subdomains), addresses, or "*" for all.
bool httpNoProxyMatches(const char* no_proxy, const char* host);

// The proxies the viewer uses from now on (before its first request): the
// --proxy URL for both schemes when given, else the environment as curl
// reads it (https_proxy or HTTPS_PROXY, http_proxy in lower case only,
// no_proxy or NO_PROXY). False with the reason in why for a bad URL.
bool httpUseProxies(const char* proxy_option, char* why, size_t why_size);
// The proxy for a URL, or null for a direct connection.
const http_proxy_t* httpProxyFor(const http_url_t& url);

enum proxy_answer_t { proxy_answer_pending, proxy_answer_ok, proxy_answer_failed };
// A proxy's answer to CONNECT, received so far: ok once its head is in with
// a 2xx status (*head_size: its length), failed for another status (its
// reason in why) or a head that is malformed or longer than 16 KiB.
proxy_answer_t proxyParseConnectAnswer(const char* data, size_t size, size_t* head_size, char* why,
                                       size_t why_size);
