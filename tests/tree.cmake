ostravel_test(test_tree ${CMAKE_CURRENT_SOURCE_DIR}/test_tree.cpp)
