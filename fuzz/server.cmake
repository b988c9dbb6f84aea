# rocktreed's request parser: every byte of a request target is untrusted.
if(TARGET rocktreed_parser_fuzz)
  ostravel_fuzz(fuzz_request_parser ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_request_parser.cpp
    LIBS rocktreed_parser_fuzz)
endif()
