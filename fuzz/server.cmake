# rocktreed's request parsers: every byte of a request target and of an
# If-None-Match header is untrusted.
if(TARGET rocktreed_parser_fuzz)
  ostravel_fuzz(fuzz_request_parser ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_request_parser.cpp
    LIBS rocktreed_parser_fuzz)
  ostravel_fuzz(fuzz_if_none_match ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_if_none_match.cpp
    LIBS rocktreed_parser_fuzz)
endif()
# One GSHHG bin's values, read from a file that may be hostile.
if(TARGET gshhg_bins_fuzz)
  ostravel_fuzz(fuzz_gshhg_bin ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_gshhg_bin.cpp LIBS gshhg_bins_fuzz)
endif()
