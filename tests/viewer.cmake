# The viewer's GL-free parts: geometry math, camera (with positions and
# places), and the per-frame selection (walk, masks, release, counters).
ostravel_test(test_view_math ${CMAKE_CURRENT_SOURCE_DIR}/test_view_math.cpp LABELS viewer)
ostravel_test(test_camera ${CMAKE_CURRENT_SOURCE_DIR}/test_camera.cpp LABELS viewer)
ostravel_test(test_selection ${CMAKE_CURRENT_SOURCE_DIR}/test_selection.cpp LABELS viewer)
# Picking, globe navigation, flights and the ground under the eye.
ostravel_test(test_navigation ${CMAKE_CURRENT_SOURCE_DIR}/test_navigation.cpp LABELS viewer)
# The look options turn on: fades on hand-built selections, the sky and the haze.
ostravel_test(test_picture ${CMAKE_CURRENT_SOURCE_DIR}/test_picture.cpp LABELS viewer)
# What a person gives and gets: the command line, the status lines, screenshot files.
ostravel_test(test_command_line ${CMAKE_CURRENT_SOURCE_DIR}/test_command_line.cpp LABELS viewer)
ostravel_test(test_status_and_screenshot ${CMAKE_CURRENT_SOURCE_DIR}/test_status_and_screenshot.cpp LABELS viewer)
# The request scheduler on hand-built records, and the turn-down replayed
# over a slow service on the synthetic tree.
ostravel_test(test_request_scheduler ${CMAKE_CURRENT_SOURCE_DIR}/test_request_scheduler.cpp LABELS viewer)

# End to end: rocktreed and the real viewer under Xvfb with Mesa's software
# GL, and the viewer alone without its service. Software rendering takes both
# cores, so one viewer at a time (the lock is shared with the stress runs).
if(TARGET ostravel AND TARGET rocktreed AND NOT OSTRAVEL_SANITIZE)
  set(VIEWER_E2E_DIR ${CMAKE_CURRENT_BINARY_DIR}/e2e-viewer)
  add_test(NAME e2e_viewer_view
    COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/viewer_e2e.py --mode view --seconds 60
      --viewer $<TARGET_FILE:ostravel> --rocktreed $<TARGET_FILE:rocktreed>
      --workdir ${VIEWER_E2E_DIR}/view)
  add_test(NAME e2e_viewer_no_service
    COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/viewer_e2e.py --mode no-service
      --viewer $<TARGET_FILE:ostravel> --workdir ${VIEWER_E2E_DIR}/no-service)
  # Over Mont Blanc until settled, then again offline from the disk cache.
  add_test(NAME e2e_viewer_settle
    COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/viewer_e2e.py --mode settle
      --viewer $<TARGET_FILE:ostravel> --rocktreed $<TARGET_FILE:rocktreed>
      --workdir ${VIEWER_E2E_DIR}/settle)
  # Globe navigation (drag, wheel, double click) and a dive held above the ground.
  add_test(NAME e2e_navigation
    COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/navigation_e2e.py
      --viewer $<TARGET_FILE:ostravel> --rocktreed $<TARGET_FILE:rocktreed>
      --workdir ${VIEWER_E2E_DIR}/navigation)
  # --frame-ms: two key-driven flights print the same position lines.
  add_test(NAME e2e_picture_frame_ms
    COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/picture_e2e.py --mode frame-ms
      --viewer $<TARGET_FILE:ostravel> --rocktreed $<TARGET_FILE:rocktreed>
      --workdir ${VIEWER_E2E_DIR}/frame-ms)
  # --path and --record: two recordings of a three-frame path are the same bytes.
  add_test(NAME e2e_picture_record
    COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/picture_e2e.py --mode record
      --viewer $<TARGET_FILE:ostravel> --rocktreed $<TARGET_FILE:rocktreed>
      --workdir ${VIEWER_E2E_DIR}/record)
  set_tests_properties(e2e_viewer_view e2e_viewer_no_service e2e_viewer_settle e2e_navigation
    e2e_picture_frame_ms e2e_picture_record PROPERTIES
    LABELS "e2e;viewer" RESOURCE_LOCK ostravel_viewer TIMEOUT 300)
  # --go to a place found by name (needs the place index), and --go with nonsense.
  if(TARGET place_index)
    add_test(NAME e2e_viewer_go
      COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/viewer_e2e.py --mode go
        --viewer $<TARGET_FILE:ostravel> --rocktreed $<TARGET_FILE:rocktreed>
        --workdir ${VIEWER_E2E_DIR}/go)
    set_tests_properties(e2e_viewer_go PROPERTIES LABELS "e2e;viewer" RESOURCE_LOCK ostravel_viewer TIMEOUT 300)
  endif()
endif()
# Search by name and coordinates on a small index built by the build's own
# tool, and the choice of place labels.
ostravel_test(test_place_search ${CMAKE_CURRENT_SOURCE_DIR}/test_place_search.cpp LABELS viewer)
target_compile_definitions(test_place_search PRIVATE OSTRAVEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
ostravel_test(test_place_labels ${CMAKE_CURRENT_SOURCE_DIR}/test_place_labels.cpp LABELS viewer)
