# Decoders of the packed fields and population of the tree from hand-built
# messages; test_messages holds the hand encoders and test images.
ostravel_test(test_decoders
  ${CMAKE_CURRENT_SOURCE_DIR}/test_packed_decoders.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/test_population.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/test_messages.cpp
  LABELS decoders)
