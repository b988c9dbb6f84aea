# Fetch rate of the fetch layer against a local server, with curl fetching
# the same URL in the same run as the anchor.
if(TARGET script_server)
  ostravel_bench(bench_fetch ${CMAKE_CURRENT_SOURCE_DIR}/bench_fetch.cpp LIBS script_server)
endif()
# The disk cache's read rate against cat of the same answers as files, its
# store rate and how far the database ever gets above its budget.
ostravel_bench(bench_disk_cache ${CMAKE_CURRENT_SOURCE_DIR}/bench_disk_cache.cpp)
