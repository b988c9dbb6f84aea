# Fetch rate of the fetch layer against a local server, with curl fetching
# the same URL in the same run as the anchor.
if(TARGET script_server)
  ostravel_bench(bench_fetch ${CMAKE_CURRENT_SOURCE_DIR}/bench_fetch.cpp LIBS script_server)
endif()
