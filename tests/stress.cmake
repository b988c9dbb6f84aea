# The whole system under stress: a flight with real input and a service that
# misbehaves, each one run of rocktreed plus the real viewer under Xvfb.
# Both need the two executables; sanitizer builds leave them to their own
# stages (scripts/test). The flight here runs under a 64 MiB memory budget,
# so that the budget releases records and they come back; `make soak` runs
# it at full length with the viewer's own budget, where turning around
# costs almost no requests.
if(TARGET ostravel AND TARGET rocktreed AND NOT OSTRAVEL_SANITIZE)
  set(STRESS_DIR ${CMAKE_CURRENT_BINARY_DIR}/stress)
  set(OSTRAVEL_FLIGHT_SCALE 0.5 CACHE STRING "length of the flight in the test suite (1.0 = the ~90 s flight)")

  add_test(NAME e2e_flight
    COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/flight/run_flight.py
      --viewer $<TARGET_FILE:ostravel> --rocktreed $<TARGET_FILE:rocktreed>
      --scale ${OSTRAVEL_FLIGHT_SCALE} --budget-mb 64 --workdir ${STRESS_DIR}/flight)
  add_test(NAME e2e_hostile
    COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/hostile/run_hostile.py
      --viewer $<TARGET_FILE:ostravel> --rocktreed $<TARGET_FILE:rocktreed>
      --workdir ${STRESS_DIR}/hostile)
  # Software rendering takes both cores: one viewer at a time.
  set_tests_properties(e2e_flight e2e_hostile PROPERTIES
    LABELS "e2e;stress" RESOURCE_LOCK ostravel_viewer TIMEOUT 480)
endif()
