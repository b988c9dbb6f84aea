# Fetch rate of the fetch layer against a local server, with curl fetching
# the same URL in the same run as the anchor.
if(TARGET script_server)
  ostravel_bench(bench_fetch ${CMAKE_CURRENT_SOURCE_DIR}/bench_fetch.cpp LIBS script_server)
  # fetchData over TLS against plain HTTP, kept-alive, on loopback.
  ostravel_bench(bench_fetch_tls ${CMAKE_CURRENT_SOURCE_DIR}/bench_fetch_tls.cpp LIBS script_server)
  if(TARGET bench_fetch_tls)
    target_compile_definitions(bench_fetch_tls PRIVATE
      TEST_CERTS_SCRIPT="${CMAKE_SOURCE_DIR}/tests/make_test_certs.sh")
  endif()
endif()
# The disk cache's read rate against cat of the same answers as files, its
# store rate and how far the database ever gets above its budget.
ostravel_bench(bench_disk_cache ${CMAKE_CURRENT_SOURCE_DIR}/bench_disk_cache.cpp)
