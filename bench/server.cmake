# rocktreed: one node's build against libjpeg-turbo alone (the anchor).
# bench/rocktreed_serving.sh measures the running service (wrk, nginx, RSS).
if(TARGET rocktreed_core)
  ostravel_bench(bench_rocktreed ${CMAKE_CURRENT_SOURCE_DIR}/bench_rocktreed.cpp LIBS rocktreed_core)
  # The planet with GSHHG's coasts against the planet without them.
  ostravel_bench(bench_coasts ${CMAKE_CURRENT_SOURCE_DIR}/bench_coasts.cpp LIBS rocktreed_core)
endif()
if(TARGET bench_rocktreed)
  # The 1 GB user layer is generated here on the first run and kept.
  target_compile_definitions(bench_rocktreed PRIVATE OSTRAVEL_BENCH_DATA="${CMAKE_BINARY_DIR}/bench-data")
endif()
