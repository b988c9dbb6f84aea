# Install rules and the Debian packages of both programs (`make package`):
# ostravel_VERSION_amd64.deb (the viewer, its manual page, desktop entry and
# icon) and rocktreed_VERSION_amd64.deb (the service, its manual page, the
# systemd unit and its /etc/default file), built by CPack from these rules.
# Library dependencies come from dpkg-shlibdeps; the data and the font the
# programs read at run time are named here.
set(deb_dir ${CMAKE_CURRENT_LIST_DIR})
set(deb_out ${CMAKE_BINARY_DIR}/debian)
set(deb_maintainer "Ostravel developers <ostravel@example.org>")
file(MAKE_DIRECTORY ${deb_out})
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${deb_dir}/ostravel.1 ${deb_dir}/rocktreed.1 ${deb_dir}/copyright)

# Manual pages and changelogs go compressed (gzip -9n: no name, no time), as
# Debian wants them; made at configure time, so a build of the programs
# alone never waits for them.
string(TIMESTAMP deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(pkg ostravel rocktreed)
  execute_process(COMMAND gzip -9n -c ${deb_dir}/${pkg}.1 OUTPUT_FILE ${deb_out}/${pkg}.1.gz)
  file(WRITE ${deb_out}/${pkg}.changelog
       "${pkg} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
       "  * Packaged from the project's own build (make package).\n\n"
       " -- ${deb_maintainer}  ${deb_date}\n")
  execute_process(COMMAND gzip -9n -c ${deb_out}/${pkg}.changelog OUTPUT_FILE ${deb_out}/${pkg}.changelog.gz)
  install(FILES ${deb_out}/${pkg}.1.gz DESTINATION share/man/man1 COMPONENT ${pkg})
  install(FILES ${deb_dir}/copyright DESTINATION share/doc/${pkg} COMPONENT ${pkg})
  install(FILES ${deb_out}/${pkg}.changelog.gz DESTINATION share/doc/${pkg} RENAME changelog.gz COMPONENT ${pkg})
endforeach()

install(TARGETS rocktreed RUNTIME DESTINATION bin COMPONENT rocktreed)
install(FILES ${deb_dir}/rocktreed.service DESTINATION /lib/systemd/system COMPONENT rocktreed)
install(FILES ${deb_dir}/rocktreed.default DESTINATION /etc/default RENAME rocktreed COMPONENT rocktreed)
if(TARGET ostravel)
  install(TARGETS ostravel RUNTIME DESTINATION bin COMPONENT ostravel)
  install(FILES ${deb_dir}/ostravel.desktop DESTINATION share/applications COMPONENT ostravel)
  install(FILES ${deb_dir}/ostravel.svg DESTINATION share/icons/hicolor/scalable/apps COMPONENT ostravel)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ostravel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${deb_maintainer}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ostravel rocktreed)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_OSTRAVEL_PACKAGE_NAME ostravel)
set(CPACK_DEBIAN_OSTRAVEL_PACKAGE_DEPENDS "fonts-dejavu-core")
set(CPACK_DEBIAN_OSTRAVEL_DESCRIPTION "globe viewer streaming the Earth as textured meshes
Ostravel flies over a planet served as an octree of textured meshes over
HTTP, by rocktreed or any service answering the same requests. It keeps
what it downloaded in a disk cache and in memory and draws the finest
detail it has.")
set(CPACK_DEBIAN_ROCKTREED_PACKAGE_NAME rocktreed)
set(CPACK_DEBIAN_ROCKTREED_PACKAGE_DEPENDS "ferret-datasets, xplanet-images")
set(CPACK_DEBIAN_ROCKTREED_DESCRIPTION "planet service for the Ostravel globe viewer
rocktreed builds the Earth from ETOPO5 relief and the Blue Marble image
(and GeoTIFF layers over them) and serves it over HTTP as an octree of
textured meshes, or exports the answers as static files. It runs as a
systemd service configured in /etc/default/rocktreed.")
configure_file(${deb_dir}/rocktreed.postinst ${deb_out}/rocktreed/postinst COPYONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
configure_file(${deb_dir}/rocktreed.prerm ${deb_out}/rocktreed/prerm COPYONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
configure_file(${deb_dir}/rocktreed.postrm ${deb_out}/rocktreed/postrm COPYONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(WRITE ${deb_out}/rocktreed/conffiles "/etc/default/rocktreed\n")
set(CPACK_DEBIAN_ROCKTREED_PACKAGE_CONTROL_EXTRA
    "${deb_out}/rocktreed/conffiles;${deb_out}/rocktreed/postinst;${deb_out}/rocktreed/prerm;${deb_out}/rocktreed/postrm")
set(CPACK_DEBIAN_ROCKTREED_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
