# The HTTP client's response parser on arbitrary bytes from the service.
ostravel_fuzz(fuzz_http_response ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_http_response.cpp)
# The same bytes as the answer on a kept-alive connection: length, chunks.
ostravel_fuzz(fuzz_http_framing ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_http_framing.cpp)
