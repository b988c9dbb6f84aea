# The viewer executable: main and the GL file on top of ostravel_core, with
# the GL 2.1 loader that glad generates at build time (never committed). The
# Debian glad script runs with its own interpreter, which has the module.
set(GLAD_OUT ${CMAKE_CURRENT_BINARY_DIR}/glad)
add_custom_command(
  OUTPUT ${GLAD_OUT}/src/gl.c ${GLAD_OUT}/include/glad/gl.h ${GLAD_OUT}/include/KHR/khrplatform.h
  COMMAND /usr/bin/glad --quiet --reproducible --api gl:compatibility=2.1
          --extensions GL_EXT_texture_compression_s3tc --out-path ${GLAD_OUT} c --loader
  COMMENT "Generating the GL loader with glad")
add_library(glad STATIC ${GLAD_OUT}/src/gl.c)
target_include_directories(glad SYSTEM PUBLIC ${GLAD_OUT}/include)
target_link_libraries(glad PUBLIC ${CMAKE_DL_LIBS})

add_executable(ostravel main.cpp rocktree_gl.cpp)
target_compile_options(ostravel PRIVATE ${OSTRAVEL_WARNINGS})
target_link_libraries(ostravel PRIVATE ostravel_core PkgConfig::SDL2 glad ${CMAKE_DL_LIBS})
