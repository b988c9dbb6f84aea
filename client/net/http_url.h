// The URLs the HTTP client is given: http://HOST[:PORT]/RESOURCE and
// https://HOST[:PORT]/RESOURCE, the port 80 or 443 by default. Untrusted
// input (the command line, the environment): parsed within fixed buffers.
#pragma once

#include <cstddef>

constexpr size_t http_address_capacity = 256;
constexpr size_t http_port_capacity = 16;

struct http_url_t {
  bool tls;  // https://
  char host[http_address_capacity];
  char port[http_port_capacity];
  const char* resource;  // into the parsed text: "/..." or "" when the URL has none
};

// False when the scheme is neither (the case matters), the host is empty
// or does not fit, or the port is not a number from 1 to 65535.
bool httpParseUrl(const char* url, http_url_t* out);
