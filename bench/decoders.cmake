# Decoders and node population; test_messages builds the service data.
ostravel_bench(bench_decoders ${CMAKE_CURRENT_SOURCE_DIR}/bench_decoders.cpp
  ${CMAKE_SOURCE_DIR}/tests/test_messages.cpp)
if(TARGET bench_decoders)
  target_include_directories(bench_decoders PRIVATE ${CMAKE_SOURCE_DIR}/tests)
endif()
