# ostravel_fuzz(NAME src... [LIBS lib...]): a libFuzzer target (clang only),
# linked against the instrumented copy of the viewer's core (ostravel_core_fuzz)
# and run under AddressSanitizer and UndefinedBehaviorSanitizer. CTest runs
# each target for a short fixed number of runs; `make fuzz` runs them longer.
set(OSTRAVEL_FUZZ_RUNS 20000 CACHE STRING "libFuzzer runs per target in the test suite")
function(ostravel_fuzz name)
  if(NOT TARGET ostravel_core_fuzz)
    return()
  endif()
  cmake_parse_arguments(F "" "" "LIBS" ${ARGN})
  add_executable(${name} ${F_UNPARSED_ARGUMENTS})
  target_compile_options(${name} PRIVATE ${OSTRAVEL_WARNINGS}
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ostravel_core_fuzz ${F_LIBS})
  add_test(NAME ${name} COMMAND ${name} -runs=${OSTRAVEL_FUZZ_RUNS} -seed=1 -max_len=65536)
  set_tests_properties(${name} PROPERTIES LABELS fuzz)
endfunction()
