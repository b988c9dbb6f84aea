// Fetch layer: turns a request path of the rocktree service into the bytes of
// its response, on the calling thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

// The cache directory tree, created on first use and never filled or read.
extern const char cache_pfx[];
constexpr size_t cache_pfx_len = 6;
extern std::once_flag cache_init_once_flag;

// The service's host and port: the environment variable OSTRAVEL_SERVICE_HOST
// when set and not empty, read once at first use, else the built-in value.
const char* serviceHost();
// "http://" + serviceHost() + "/rt/earth/"; a request URL is this plus a path.
const char* baseUrl();

// mkdir with mode 0755; the result of mkdir (an existing directory fails harmlessly).
int createDir(const char* path);

// error is 0 for a response with a status below 300, else 1 with data null
// and len 0. data belongs to fetchData and is freed when the callback returns.
using fetch_thunk_t = void (*)(int i, int error, uint8_t* data, size_t len);

// GETs baseUrl() + path and calls thunk exactly once before returning. The
// request goes out over a persistent connection (HTTP/1.1, kept alive
// between requests of the calling thread's and other threads' fetches).
// When *abandon turns true while the transfer is under way, the transfer
// ends within one poll of its socket, which is closed, and the callback
// reports error 1 with the reason fetch_abandoned.
void fetchData(const char* path, int i, fetch_thunk_t thunk, const std::atomic<bool>* abandon = nullptr);
extern const char fetch_abandoned[];

// From now on every fetch fails at once ("the viewer is shutting down"),
// transfers in flight end within one poll of their socket, which is closed,
// and so are the idle kept-alive connections (none is kept from then on).
// For the exit: a silent service must not hold the process.
void abortFetches();
bool fetchesAborted();

// Inside a callback that reports error 1: what went wrong, e.g. "status 404"
// or "no progress within the stall limit". fetchData prints nothing itself;
// its callers name the failure with this.
const char* fetchFailureReason();
