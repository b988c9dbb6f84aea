// TLS over a connection's socket (OpenSSL), for https:// URLs. The peer's
// certificate is always verified: against the system's CA store and the
// CAs of --ca-file, for the host name of the URL (sent as SNI), TLS 1.2 or
// newer; there is no way to turn that off. Every call does only what the
// non-blocking socket allows right now. Sessions are kept per host and port
// and offered again by the next connection to it, so that connections after
// the first resume rather than pay a full handshake.
#pragma once

#include <cstddef>
#include <cstdint>

typedef struct ssl_st SSL;

// Adds the CAs of a PEM file to those trusted; before the first TLS
// connection. False with the reason in why when the file does not load.
bool tlsAddCaFile(const char* path, char* why, size_t why_size);

// A TLS client on the connected socket fd for host:port, offering the last
// session of host:port, and with offer_h2 HTTP/2 before HTTP/1.1 (ALPN);
// null with the reason in why.
SSL* tlsStart(int fd, const char* host, const char* port, bool offer_h2, char* why, size_t why_size);
// After the handshake: the service chose HTTP/2.
bool tlsChoseH2(SSL* tls);
// Frees the TLS state at once, without telling the peer (the socket is the caller's).
void tlsFree(SSL* tls);

enum tls_outcome_t {
  tls_ok,          // done (for a read or write: *n bytes)
  tls_want_read,   // come back when the socket is readable
  tls_want_write,  // come back when the socket is writable
  tls_closed,      // the peer closed the connection
  tls_failed,      // the connection is unusable; why says what went wrong
};

// Whether the handshake may begin now. The first connection to a place
// with no session yet goes ahead; the others wait (false) until its session
// has come, and then resume it instead of a full handshake each.
bool tlsReadyToHandshake(SSL* tls);
// One step of the handshake. A rejected certificate gives "certificate of
// HOST rejected: REASON" in why, and one line on standard error the first
// time for that host (the viewer then treats the service as unreachable).
tls_outcome_t tlsHandshake(SSL* tls, char* why, size_t why_size);
tls_outcome_t tlsWrite(SSL* tls, const char* buf, size_t len, size_t* n);
tls_outcome_t tlsRead(SSL* tls, char* buf, size_t cap, size_t* n);
// An idle connection whose socket has become readable: true when what came
// was TLS housekeeping only (session tickets), false when the peer closed
// or sent bytes nobody asked for.
bool tlsIdleStillClean(SSL* tls);

struct tls_handshake_counts_t {
  int64_t full;
  int64_t resumed;
};
tls_handshake_counts_t tlsHandshakeCounts();
