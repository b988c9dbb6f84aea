# The Debian packages: made by CPack from this build, unpacked into a scratch
# root and run from there, with lintian and systemd-analyze verify on them
# (tests/e2e/package/check_packages.sh).
if(TARGET rocktreed AND TARGET ostravel AND NOT OSTRAVEL_SANITIZE)
  add_test(NAME e2e_packages
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/package/check_packages.sh ${CMAKE_BINARY_DIR}
      ${CMAKE_CURRENT_BINARY_DIR}/packages)
  set_tests_properties(e2e_packages PROPERTIES LABELS "e2e;package" TIMEOUT 600)
endif()
