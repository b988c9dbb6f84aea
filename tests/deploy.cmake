# The shipped nginx configurations (deploy/nginx/) with rocktreed export and
# rocktreed replicas: an export served as rocktreed serves it, an export in
# front of rocktreed, and nginx's cache in front of two replicas, the last
# two with the real viewer under Xvfb (tests/e2e/deploy/run_deploy.py).
if(TARGET rocktreed AND NOT OSTRAVEL_SANITIZE)
  set(DEPLOY_DIR ${CMAKE_CURRENT_BINARY_DIR}/deploy)
  add_test(NAME e2e_deploy_static
    COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/deploy/run_deploy.py --mode static
      --rocktreed $<TARGET_FILE:rocktreed> --workdir ${DEPLOY_DIR}/static)
  set_tests_properties(e2e_deploy_static PROPERTIES LABELS "e2e;deploy" TIMEOUT 300)
  if(TARGET ostravel)
    # tls: the same behind TLS (deploy/nginx/tls-export-then-rocktreed.conf).
    foreach(mode fallback replicas tls)
      add_test(NAME e2e_deploy_${mode}
        COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/deploy/run_deploy.py --mode ${mode}
          --rocktreed $<TARGET_FILE:rocktreed> --viewer $<TARGET_FILE:ostravel> --workdir ${DEPLOY_DIR}/${mode})
    endforeach()
    # Software rendering takes both cores: one viewer at a time.
    set_tests_properties(e2e_deploy_fallback e2e_deploy_replicas e2e_deploy_tls PROPERTIES
      LABELS "e2e;deploy" RESOURCE_LOCK ostravel_viewer TIMEOUT 300)
  endif()
endif()
