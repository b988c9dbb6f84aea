#include "net/http_framing.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

constexpr size_t status_code_capacity = 16;

// Limits of the parts of a framed answer that the body's limit does not
// bound: a service that never ends its header or a chunk line must not make
// us read up to 64 MiB to find out.
constexpr size_t max_header_bytes = 65536;
constexpr size_t max_chunk_line_bytes = 1024;

constexpr size_t receive_initial_capacity = 65536;

}  // namespace

bool answerInit(http_answer_t* a, size_t max_size) {
  a->data = static_cast<char*>(malloc(receive_initial_capacity));
  if (!a->data) return false;
  a->data_capacity = receive_initial_capacity;
  a->status = HTTP_STATUS_PENDING;
  a->max_size = max_size;
  return true;
}

void answerFree(http_answer_t* a) {
  free(a->data);
  a->data = nullptr;
}

// Keeps at least one spare byte behind the data for the body's terminator.
bool answerReserve(http_answer_t* a, size_t n) {
  size_t needed = a->data_size + n + 1;
  if (a->data_capacity >= needed) return true;
  size_t capacity = std::max(a->data_capacity * 2, needed);
  void* grown = malloc(capacity);
  if (!grown) return false;
  memcpy(grown, a->data, a->data_size);
  free(a->data);
  a->data = static_cast<char*>(grown);
  a->data_capacity = capacity;
  return true;
}

bool answerAppend(http_answer_t* a, const void* bytes, size_t size) {
  if (!answerReserve(a, size)) return false;
  memcpy(a->data + a->data_size, bytes, size);
  a->data_size += size;
  return true;
}

http_status_t answerFail(http_answer_t* a, const char* why) {
  a->failure = why;
  a->status = HTTP_STATUS_FAILED;
  return a->status;
}

namespace {

// Copies [begin, end) of the received bytes into dst, cut to capacity - 1.
void copyCut(char* dst, size_t capacity, const char* begin, size_t len) {
  len = std::min(len, capacity - 1);
  memcpy(dst, begin, len);
  dst[len] = '\0';
}

// The status line and the header fields in all[0, header_end + 2): status
// code, reason phrase and Content-Type. PENDING when they parse.
http_status_t parseHead(http_answer_t* h, std::string_view all, size_t header_end) {
  const char* data = all.data();
  size_t space1 = all.find(' ');
  if (space1 == std::string_view::npos) return answerFail(h, "status line without two spaces");
  size_t space2 = all.find(' ', space1 + 1);
  if (space2 == std::string_view::npos) return answerFail(h, "status line without two spaces");
  size_t code_len = space2 - space1 - 1;
  // A status code that does not fit its buffer is no HTTP status code.
  if (code_len >= status_code_capacity) return answerFail(h, "status code longer than 15 characters");
  char code[status_code_capacity];
  memcpy(code, data + space1 + 1, code_len);
  code[code_len] = '\0';
  h->status_code = static_cast<int>(strtol(code, nullptr, 10));

  size_t line_end = all.find("\r\n", space2 + 1);
  if (line_end == std::string_view::npos) return answerFail(h, "status line without a line end");
  copyCut(h->reason_phrase, sizeof h->reason_phrase, data + space2 + 1, line_end - space2 - 1);

  // Only the header is searched: a body may well contain the same words.
  std::string_view header = all.substr(0, header_end + 2);
  static constexpr std::string_view content_type_key = "Content-Type: ";
  size_t key = header.find(content_type_key, line_end + 1);
  if (key != std::string_view::npos) {
    size_t value = key + content_type_key.size();
    size_t value_end = header.find("\r\n", value);
    if (value_end != std::string_view::npos)
      copyCut(h->content_type, sizeof h->content_type, data + value, value_end - value);
  }
  return HTTP_STATUS_PENDING;
}

// The answer is complete: body at [body, body + size), status from its code.
http_status_t finishAnswer(http_answer_t* h, size_t body, size_t size) {
  h->status = h->status_code <= 299 ? HTTP_STATUS_COMPLETED : HTTP_STATUS_FAILED;
  h->body = h->data + body;
  h->body_size = size;
  h->data[body + size] = '\0';
  return h->status;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k)
    if (tolower(static_cast<unsigned char>(a[k])) != tolower(static_cast<unsigned char>(b[k]))) return false;
  return true;
}

std::string_view trimmed(std::string_view v) {
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
  return v;
}

// How a framed answer ends and whether its connection may carry another
// request, from the version and the header fields (names in any case).
http_status_t parseFraming(http_answer_t* h, std::string_view header) {
  const size_t first_end = header.find("\r\n");
  const std::string_view version = header.substr(0, std::min(header.find(' '), first_end));
  bool close = false, keep_alive = false, has_length = false, chunked = false;
  size_t length = 0;
  for (size_t at = first_end + 2; at < header.size();) {
    size_t end = header.find("\r\n", at);
    if (end == std::string_view::npos) end = header.size();
    const std::string_view line = header.substr(at, end - at);
    at = end + 2;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trimmed(line.substr(colon + 1));
    if (equalsNoCase(name, "Content-Length")) {
      if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string_view::npos)
        return answerFail(h, "Content-Length is not a decimal number");
      size_t v = 0;
      for (char c : value) v = v * 10 + static_cast<size_t>(c - '0');
      if (has_length && v != length) return answerFail(h, "two different Content-Length values");
      has_length = true;
      length = v;
    } else if (equalsNoCase(name, "Transfer-Encoding")) {
      if (!equalsNoCase(value, "chunked")) return answerFail(h, "transfer coding other than chunked");
      chunked = true;
    } else if (equalsNoCase(name, "Connection")) {
      for (size_t t = 0; t <= value.size();) {
        size_t comma = value.find(',', t);
        if (comma == std::string_view::npos) comma = value.size();
        const std::string_view token = trimmed(value.substr(t, comma - t));
        close = close || equalsNoCase(token, "close");
        keep_alive = keep_alive || equalsNoCase(token, "keep-alive");
        t = comma + 1;
      }
    }
  }
  if (chunked) {
    h->framing = framing_chunked;
  } else if (has_length) {
    if (length > h->max_size) return answerFail(h, "response larger than the limit");
    h->framing = framing_length;
    h->content_length = length;
  } else {
    h->framing = framing_until_close;
  }
  // Both framings at once is how a request gets smuggled: answer this one
  // by the chunks, trust the connection with nothing more.
  h->persistent = !close && h->framing != framing_until_close && !(chunked && has_length) &&
                  (version == "HTTP/1.1" || (version == "HTTP/1.0" && keep_alive));
  return HTTP_STATUS_PENDING;
}

// Decodes what has arrived of a chunked body, in place.
http_status_t advanceChunks(http_answer_t* h) {
  char* data = h->data;
  for (;;) {
    const std::string_view rest(data + h->chunk_read, h->data_size - h->chunk_read);
    switch (h->chunk_phase) {
      case chunk_size_line: {
        const size_t end = rest.find("\r\n");
        if (end == std::string_view::npos) {
          if (rest.size() > max_chunk_line_bytes) return answerFail(h, "chunk size line longer than 1 KiB");
          return HTTP_STATUS_PENDING;
        }
        if (end > max_chunk_line_bytes) return answerFail(h, "chunk size line longer than 1 KiB");
        size_t size = 0, digits = 0;
        for (; digits < end && isxdigit(static_cast<unsigned char>(rest[digits])); ++digits) {
          const char c = rest[digits];
          size = size * 16 + static_cast<size_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
          if (size > h->max_size) return answerFail(h, "response larger than the limit");
        }
        if (digits == 0 || (digits < end && rest[digits] != ';' && rest[digits] != ' ' && rest[digits] != '\t'))
          return answerFail(h, "chunk size is not a hexadecimal number");
        h->chunk_read += end + 2;
        h->chunk_left = size;
        h->chunk_phase = size == 0 ? chunk_trailer : chunk_data;
        break;
      }
      case chunk_data: {
        const size_t take = std::min(rest.size(), h->chunk_left);
        memmove(data + h->head_end + h->decoded_size, data + h->chunk_read, take);
        h->decoded_size += take;
        h->chunk_read += take;
        h->chunk_left -= take;
        if (h->chunk_left) return HTTP_STATUS_PENDING;
        h->chunk_phase = chunk_data_end;
        break;
      }
      case chunk_data_end:
        if (rest.size() < 2) return HTTP_STATUS_PENDING;
        if (rest.substr(0, 2) != "\r\n") return answerFail(h, "chunk data not followed by a line end");
        h->chunk_read += 2;
        h->chunk_phase = chunk_size_line;
        break;
      case chunk_trailer: {
        const size_t end = rest.find("\r\n");
        if (end == std::string_view::npos) {
          if (rest.size() > max_chunk_line_bytes) return answerFail(h, "trailer line longer than 1 KiB");
          return HTTP_STATUS_PENDING;
        }
        h->chunk_read += end + 2;
        if (end == 0) {
          h->complete = true;
          if (h->chunk_read != h->data_size) h->persistent = false;  // bytes nobody asked for
          return finishAnswer(h, h->head_end, h->decoded_size);
        }
        break;
      }
    }
  }
}

}  // namespace

// The server has closed the connection: everything received is the response.
// Every search is confined to the received bytes, which may hold NULs.
http_status_t answerParseToClose(http_answer_t* h) {
  std::string_view all(h->data, h->data_size);
  size_t header_end = all.find("\r\n\r\n");
  if (header_end == std::string_view::npos) return answerFail(h, "no blank line ends the response header");
  if (parseHead(h, all, header_end) != HTTP_STATUS_PENDING) return h->status;
  return finishAnswer(h, header_end + 4, h->data_size - header_end - 4);
}

http_status_t answerAdvanceFramed(http_answer_t* h, bool peer_closed) {
  if (h->status != HTTP_STATUS_PENDING) return h->status;
  std::string_view all(h->data, h->data_size);
  if (!h->head_end) {
    size_t header_end = all.find("\r\n\r\n");
    if (header_end == std::string_view::npos) {
      if (h->data_size > max_header_bytes) return answerFail(h, "response header larger than 64 KiB");
      return peer_closed ? answerFail(h, "no blank line ends the response header") : HTTP_STATUS_PENDING;
    }
    if (header_end + 4 > max_header_bytes) return answerFail(h, "response header larger than 64 KiB");
    if (parseHead(h, all, header_end) != HTTP_STATUS_PENDING) return h->status;
    if (parseFraming(h, all.substr(0, header_end + 2)) != HTTP_STATUS_PENDING) return h->status;
    h->head_end = header_end + 4;
    h->chunk_read = h->head_end;
  }
  switch (h->framing) {
    case framing_until_close:
      if (!peer_closed) return HTTP_STATUS_PENDING;
      h->complete = true;
      return finishAnswer(h, h->head_end, h->data_size - h->head_end);
    case framing_length:
      if (h->data_size - h->head_end >= h->content_length) {
        h->complete = true;
        if (h->data_size - h->head_end > h->content_length) h->persistent = false;  // bytes nobody asked for
        return finishAnswer(h, h->head_end, h->content_length);
      }
      return peer_closed ? answerFail(h, "connection closed before the end of the body") : HTTP_STATUS_PENDING;
    case framing_chunked:
      if (advanceChunks(h) != HTTP_STATUS_PENDING) return h->status;
      return peer_closed ? answerFail(h, "connection closed before the last chunk") : HTTP_STATUS_PENDING;
  }
  return HTTP_STATUS_PENDING;
}
