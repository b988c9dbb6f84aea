// What lets HTTP caches (nginx's proxy_cache, a CDN, the viewer) keep
// rocktreed's answers: every answer is named by its request path, the epoch
// is part of that path, and the same request always gives the same bytes,
// so an answer never changes and may be kept for ever.
#pragma once

#include <string>
#include <string_view>

// Cache-Control of a 200 or 304 answer: a year, and no revalidation.
constexpr const char* cache_control_immutable = "public, max-age=31536000, immutable";
// Cache-Control of errors and of /metrics: they are about this moment, not
// about the planet (a 404 may be a node this replica cannot build yet).
constexpr const char* cache_control_no_store = "no-store";

// Strong entity tag of an answer: a 64-bit hash (XXH3) of its bytes, in
// hexadecimal and quoted: "\"0123456789abcdef\"". Equal bytes, equal tag,
// on every replica.
std::string entityTag(std::string_view body);

// Whether an If-None-Match header value lets a GET be answered with 304 for
// the answer tagged `tag`: "*", or a comma-separated list of entity tags one
// of which is `tag` (weak comparison: W/ prefixes are ignored, as HTTP asks
// for GET). The value is untrusted; anything that is not a well-formed list
// up to the matching tag does not match, so the full answer goes out.
bool ifNoneMatchHits(std::string_view header, std::string_view tag);
