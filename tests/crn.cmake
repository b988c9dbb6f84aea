# CRN textures: our decoder (client/crn, in ostravel_core) and rocktreed's
# encoder (the crn_encoder library of server/planet).
ostravel_test(test_crn test_crn.cpp test_crn_encoder.cpp LIBS crn_encoder LABELS crn)

# Oracle tests against the crunch tool, fetched with npm at test time by a
# fixture; they skip (with a message) when it could not be fetched.
set(CRN_CRUNCH_DIR ${CMAKE_BINARY_DIR}/crunch)
add_executable(test_crn_oracle test_crn_oracle.cpp)
target_compile_options(test_crn_oracle PRIVATE ${OSTRAVEL_WARNINGS})
target_link_libraries(test_crn_oracle PRIVATE ostravel_core crn_encoder GTest::gtest GTest::gtest_main)
gtest_discover_tests(test_crn_oracle DISCOVERY_TIMEOUT 60
  PROPERTIES LABELS crn FIXTURES_REQUIRED crunch WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
target_compile_definitions(test_crn_oracle PRIVATE
  CRN_CRUNCH_TOOL="${CRN_CRUNCH_DIR}/package/bin/linux/crunch"
  CRN_EARTH_JPG="/usr/share/xplanet/images/earth.jpg")
add_test(NAME crn_fetch_crunch COMMAND ${PROJECT_SOURCE_DIR}/scripts/fetch-crunch ${CRN_CRUNCH_DIR})
set_tests_properties(crn_fetch_crunch PROPERTIES FIXTURES_SETUP crunch LABELS crn TIMEOUT 180)
