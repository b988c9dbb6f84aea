# ostravel_test(NAME src... [LIBS lib...] [LABELS label...])
# One gtest executable per area; its cases are registered with CTest.
include(GoogleTest)
function(ostravel_test name)
  cmake_parse_arguments(T "" "" "LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_UNPARSED_ARGUMENTS})
  target_compile_options(${name} PRIVATE ${OSTRAVEL_WARNINGS})
  target_link_libraries(${name} PRIVATE ostravel_core ${T_LIBS} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${T_LABELS}" WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endfunction()
