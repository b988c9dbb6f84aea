# The HTTP client's response parser on arbitrary bytes from the service.
ostravel_fuzz(fuzz_http_response ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_http_response.cpp)
# The same bytes as the answer on a kept-alive connection: length, chunks.
ostravel_fuzz(fuzz_http_framing ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_http_framing.cpp)
# Service URLs, http:// and https://, from the command line or the environment.
ostravel_fuzz(fuzz_http_url ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_http_url.cpp)
# A proxy's answer to CONNECT and proxy URLs.
ostravel_fuzz(fuzz_proxy ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_proxy.cpp)
# The service's side of an HTTP/2 connection: frames into the answers.
ostravel_fuzz(fuzz_http2 ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_http2.cpp)
