# rocktreed: the planet service. rocktreed_core holds everything but main so
# that tests, benchmarks and fuzz targets link it.
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
pkg_check_modules(NETCDF REQUIRED IMPORTED_TARGET netcdf)
# DXT1 block compression for the CRN texture encoder (server/dxt1_encoder).
find_library(SQUISH_LIBRARY squish REQUIRED)

add_library(rocktreed_core STATIC ${ROCKTREED_CORE_SOURCES})
target_include_directories(rocktreed_core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(rocktreed_core PRIVATE ${OSTRAVEL_WARNINGS})
target_link_libraries(rocktreed_core PUBLIC rocktree_proto Eigen3::Eigen PkgConfig::TURBOJPEG
  PkgConfig::NETCDF ${SQUISH_LIBRARY} Threads::Threads)

add_executable(rocktreed ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
target_compile_options(rocktreed PRIVATE ${OSTRAVEL_WARNINGS})
target_link_libraries(rocktreed PRIVATE rocktreed_core PkgConfig::HTTPLIB)

# The request parser alone, instrumented for libFuzzer (clang builds only).
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND NOT OSTRAVEL_SANITIZE)
  add_library(rocktreed_parser_fuzz STATIC ${CMAKE_CURRENT_SOURCE_DIR}/request_parser.cpp)
  target_include_directories(rocktreed_parser_fuzz PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_options(rocktreed_parser_fuzz PRIVATE ${OSTRAVEL_WARNINGS}
    -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)
endif()

# Contact sheet of the textures around Paris and the Alps (a look, not a test).
add_executable(contact_sheet ${PROJECT_SOURCE_DIR}/tools/contact_sheet.cpp)
target_link_libraries(contact_sheet PRIVATE rocktreed_core)
