# rocktreed: encoders against the viewer's decoders, the service in process
# (parser, cache, tree consistency through the viewer's population code) and
# the real binary over a socket; user layers from test rasters written with
# GDAL at run time (test_rasters, shared with the tree-consistency suite).
if(TARGET rocktreed_core)
  add_library(test_rasters STATIC ${CMAKE_CURRENT_SOURCE_DIR}/test_rasters.cpp)
  target_include_directories(test_rasters PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_options(test_rasters PRIVATE ${OSTRAVEL_WARNINGS})
  target_link_libraries(test_rasters PUBLIC rocktreed_core)
  ostravel_test(test_packed_encoders test_packed_encoders.cpp LIBS rocktreed_core LABELS server)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/test_rocktreed.cpp)
    ostravel_test(test_rocktreed test_rocktreed.cpp LIBS test_rasters LABELS server)
  endif()
  ostravel_test(test_export test_export.cpp LIBS rocktreed_core LABELS server)
  ostravel_test(test_rocktreed_layers test_rocktreed_layers.cpp LIBS test_rasters LABELS server)
  ostravel_test(test_coasts test_coasts.cpp LIBS test_rasters LABELS server)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/test_rocktreed_http.cpp)
    ostravel_test(test_rocktreed_http test_rocktreed_http.cpp LIBS rocktreed_core LABELS server)
    target_compile_definitions(test_rocktreed_http PRIVATE ROCKTREED_BINARY="$<TARGET_FILE:rocktreed>")
    add_dependencies(test_rocktreed_http rocktreed)
  endif()
  # Slow, idle, never-reading and flooding clients on loopback, and the
  # clean stop (service and export): a few seconds each.
  ostravel_test(test_rocktreed_limits test_rocktreed_limits.cpp LIBS rocktreed_core LABELS server)
  target_compile_definitions(test_rocktreed_limits PRIVATE ROCKTREED_BINARY="$<TARGET_FILE:rocktreed>")
  add_dependencies(test_rocktreed_limits rocktreed)
endif()
