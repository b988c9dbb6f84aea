# rocktreed: encoders against the viewer's decoders, the service in process
# (parser, cache, tree consistency through the viewer's population code) and
# the real binary over a socket.
if(TARGET rocktreed_core)
  ostravel_test(test_packed_encoders test_packed_encoders.cpp LIBS rocktreed_core LABELS server)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/test_rocktreed.cpp)
    ostravel_test(test_rocktreed test_rocktreed.cpp LIBS rocktreed_core LABELS server)
  endif()
  ostravel_test(test_export test_export.cpp LIBS rocktreed_core LABELS server)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/test_rocktreed_http.cpp)
    ostravel_test(test_rocktreed_http test_rocktreed_http.cpp LIBS rocktreed_core LABELS server)
    target_compile_definitions(test_rocktreed_http PRIVATE ROCKTREED_BINARY="$<TARGET_FILE:rocktreed>")
    add_dependencies(test_rocktreed_http rocktreed)
  endif()
endif()
