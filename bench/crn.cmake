# CRN decode against the crunch tool and memcpy; CRN encode against JPEG
# and its two steps (DXT1 with stb_dxt and libsquish, packing);
# with rocktreed's core, node builds in both texture formats.
if(TARGET rocktreed_core)
  ostravel_bench(bench_crn ${CMAKE_CURRENT_SOURCE_DIR}/bench_crn.cpp LIBS rocktreed_core)
  set(CRN_BENCH_NODES 1)
else()
  ostravel_bench(bench_crn ${CMAKE_CURRENT_SOURCE_DIR}/bench_crn.cpp LIBS crn_encoder)
  set(CRN_BENCH_NODES 0)
endif()
if(TARGET bench_crn)
  target_include_directories(bench_crn PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/server)
  target_compile_definitions(bench_crn PRIVATE
    CRN_CRUNCH_TOOL="${CMAKE_BINARY_DIR}/crunch/package/bin/linux/crunch"
    CRN_EARTH_JPG="/usr/share/xplanet/images/earth.jpg"
    CRN_BENCH_DIR="${CMAKE_BINARY_DIR}/crn_bench")
  if(CRN_BENCH_NODES)
    target_compile_definitions(bench_crn PRIVATE CRN_BENCH_NODES)
  endif()
  # libsquish: the DXT1 encoder rocktreed used before stb_dxt, kept as the
  # comparison.
  find_library(SQUISH_LIBRARY squish)
  if(SQUISH_LIBRARY)
    target_compile_definitions(bench_crn PRIVATE CRN_BENCH_SQUISH)
    target_link_libraries(bench_crn PRIVATE ${SQUISH_LIBRARY})
  endif()
endif()
