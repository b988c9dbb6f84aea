# The viewer's command line: every word of it is untrusted.
ostravel_fuzz(fuzz_command_line ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_command_line.cpp)
