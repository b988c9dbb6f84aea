// The answer of one HTTP request as received bytes, and the pure parser that
// finds its status, header fields and body in them: either everything up to
// the close of the connection (HTTP/1.0), or a framed answer that ends with
// its Content-Length or last chunk and may leave its connection to the next
// request. No socket here: the fuzz targets feed it bytes directly.
#pragma once

#include <cstddef>

#include "net/http_client.h"

constexpr size_t http_reason_capacity = 1024;
constexpr size_t http_content_type_capacity = 256;

enum answer_framing_t { framing_until_close, framing_length, framing_chunked };
enum chunk_phase_t { chunk_size_line, chunk_data, chunk_data_end, chunk_trailer };

// Everything received for one request and what has been parsed of it.
// Zero-filled is a valid empty answer (see answerInit).
struct http_answer_t {
  http_status_t status;  // PENDING until the answer is complete or rejected
  int status_code;       // 0 until the status line is parsed
  char reason_phrase[http_reason_capacity];
  char content_type[http_content_type_capacity];
  const char* failure;  // why it was rejected; null otherwise
  size_t max_size;      // the response size limit

  char* data;  // the received bytes, a spare byte behind them for the body's NUL
  size_t data_size;
  size_t data_capacity;
  char* body;  // within data, NUL behind it; null until complete
  size_t body_size;

  // A framed answer (kept-alive connections).
  bool framed;
  size_t head_end;  // offset of the body once the header's blank line is in; 0 before
  answer_framing_t framing;
  size_t content_length;
  bool persistent;  // the service lets the connection carry another request
  bool complete;    // the whole answer is in
  // The chunked coding is decoded in place: the raw bytes from chunk_read on
  // are still coded, the decoded body ends at head_end + decoded_size.
  chunk_phase_t chunk_phase;
  size_t chunk_read;
  size_t chunk_left;
  size_t decoded_size;
};

// A zero-filled answer gets its receive buffer; false when out of memory.
bool answerInit(http_answer_t* a, size_t max_size);
void answerFree(http_answer_t* a);
// Room for n more bytes (and the NUL); false when out of memory.
bool answerReserve(http_answer_t* a, size_t n);
// Appends received bytes; false when out of memory.
bool answerAppend(http_answer_t* a, const void* bytes, size_t size);
// Sets the failure and FAILED.
http_status_t answerFail(http_answer_t* a, const char* why);

// The server has closed: everything received is the response.
http_status_t answerParseToClose(http_answer_t* a);
// Parses what has been received so far as a framed answer (peer_closed:
// nothing more will come). PENDING while the answer is incomplete.
http_status_t answerAdvanceFramed(http_answer_t* a, bool peer_closed);
