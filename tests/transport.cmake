# The scripted HTTP server is shared by every suite that needs a service that
# misbehaves on demand (transport, retrieval, hostile-service tests).
add_library(script_server STATIC ${CMAKE_CURRENT_SOURCE_DIR}/script_server.cpp)
target_include_directories(script_server PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(script_server PRIVATE ${OSTRAVEL_WARNINGS})
target_link_libraries(script_server PUBLIC Threads::Threads OpenSSL::SSL)

ostravel_test(test_http_client ${CMAKE_CURRENT_SOURCE_DIR}/test_http_client.cpp LIBS script_server)
# https:// against the scripted server speaking TLS with certificates made
# at run time (tests/make_test_certs.sh).
ostravel_test(test_tls ${CMAKE_CURRENT_SOURCE_DIR}/test_tls.cpp LIBS script_server)
target_compile_definitions(test_tls PRIVATE TEST_CERTS_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/make_test_certs.sh")
# Proxies: the parsers, then through tinyproxy (plain, CONNECT, Basic auth, no_proxy).
ostravel_test(test_proxy ${CMAKE_CURRENT_SOURCE_DIR}/test_proxy.cpp LIBS script_server)
target_compile_definitions(test_proxy PRIVATE TEST_CERTS_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/make_test_certs.sh")
ostravel_test(test_fetch ${CMAKE_CURRENT_SOURCE_DIR}/test_fetch.cpp LIBS script_server)
# The disk cache alone (budget, eviction, damage, sharing, a full disk) and
# through the fetch layer (refetching, offline start).
ostravel_test(test_disk_cache ${CMAKE_CURRENT_SOURCE_DIR}/test_disk_cache.cpp LIBS script_server)
ostravel_test(test_pose_listener ${CMAKE_CURRENT_SOURCE_DIR}/test_pose_listener.cpp)
# Pools and retrieval hand records between threads: these two also run under
# ThreadSanitizer (scripts/test).
ostravel_test(test_pool ${CMAKE_CURRENT_SOURCE_DIR}/test_pool.cpp LABELS tsan)
ostravel_test(test_retrieval ${CMAKE_CURRENT_SOURCE_DIR}/test_retrieval.cpp LIBS script_server LABELS tsan)
# HTTP/2 over TLS against nginx: shared connection, reset streams, GOAWAY.
# Download threads share each connection: it also runs under ThreadSanitizer.
ostravel_test(test_http2 ${CMAKE_CURRENT_SOURCE_DIR}/test_http2.cpp LIBS script_server LABELS tsan)
target_compile_definitions(test_http2 PRIVATE TEST_CERTS_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/make_test_certs.sh")
