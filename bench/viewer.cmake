# The render thread's per-frame tree work (walk and release) on a synthetic tree.
ostravel_bench(bench_selection ${CMAKE_CURRENT_SOURCE_DIR}/bench_selection.cpp)
