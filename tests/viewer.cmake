# The viewer's GL-free parts: geometry math, camera, and the per-frame
# selection (walk, masks, release, counters).
ostravel_test(test_math ${CMAKE_CURRENT_SOURCE_DIR}/test_math.cpp LABELS viewer)
ostravel_test(test_camera ${CMAKE_CURRENT_SOURCE_DIR}/test_camera.cpp LABELS viewer)
ostravel_test(test_selection ${CMAKE_CURRENT_SOURCE_DIR}/test_selection.cpp LABELS viewer)
