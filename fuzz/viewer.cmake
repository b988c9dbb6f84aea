# The viewer's command line: every word of it is untrusted.
ostravel_fuzz(fuzz_command_line ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_command_line.cpp)
# Camera path files (--path): any bytes, and the poses between an accepted path's.
ostravel_fuzz(fuzz_camera_path ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_camera_path.cpp)
# Typed search text, through the coordinate parser and the index's queries.
ostravel_fuzz(fuzz_place_query ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_place_query.cpp)
