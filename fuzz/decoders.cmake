# One target per decoder family, the texture decoders (PNG, BMP, JPEG), and
# population on messages parsed from arbitrary bytes (test_messages builds
# the good messages and images they start from).
ostravel_fuzz(fuzz_indices ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_indices.cpp)
ostravel_fuzz(fuzz_vertices ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_vertices.cpp)
ostravel_fuzz(fuzz_octants ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_octants.cpp)
ostravel_fuzz(fuzz_normals ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_normals.cpp)
ostravel_fuzz(fuzz_obb_path ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_obb_path.cpp)
foreach(target fuzz_populate_bulk fuzz_populate_node fuzz_textures)
  ostravel_fuzz(${target} ${CMAKE_CURRENT_SOURCE_DIR}/${target}.cpp
    ${CMAKE_SOURCE_DIR}/tests/test_messages.cpp)
  if(TARGET ${target})
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  endif()
endforeach()
