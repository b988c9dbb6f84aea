# The render thread's per-frame tree work (walk, scheduling, release) on the
# synthetic tree of tests/synthetic_tree.h.
ostravel_bench(bench_selection ${CMAKE_CURRENT_SOURCE_DIR}/bench_selection.cpp)
if(TARGET bench_selection)
  target_include_directories(bench_selection PRIVATE ${CMAKE_SOURCE_DIR}/tests)
endif()
# Picking on the start view, on rocktreed's meshes built in process.
if(TARGET rocktreed_core)
  ostravel_bench(bench_picking ${CMAKE_CURRENT_SOURCE_DIR}/bench_picking.cpp LIBS rocktreed_core)
  target_include_directories(bench_picking PRIVATE ${CMAKE_SOURCE_DIR}/server)
endif()
# Search per typed query and the labels' CPU per frame on the real place index.
ostravel_bench(bench_places ${CMAKE_CURRENT_SOURCE_DIR}/bench_places.cpp)
