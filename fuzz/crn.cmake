# CRN decoder on hostile bytes, under AddressSanitizer and UBSan.
ostravel_fuzz(fuzz_crn fuzz_crn.cpp)
if(TARGET fuzz_crn)
  target_include_directories(fuzz_crn PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
