# Installation layout and the .deb package.
#
#   bin/quillora                                         (Quillora/CMakeLists.txt)
#   share/quillora/Info.ini                              (Quillora/CMakeLists.txt)
#   share/applications/com.tandrevel.Quillora.desktop
#   share/icons/hicolor/scalable/apps/com.tandrevel.Quillora.svg
#   share/icons/hicolor/<N>x<N>/apps/com.tandrevel.Quillora.png
#   share/man/man1/quillora.1.gz
#
# `cpack` (or `make package`) turns the same layout, under /usr, into quillora_<version>_<arch>.deb, and
# into the portable archive quillora-<version>-<arch>.tar.gz: one folder quillora-<version>-<arch>/ with
# the same layout plus the marker file quillora.portable at its top, which runs wherever it is unpacked
# (the program finds share/quillora/Info.ini from its own bin/ folder).

include(GNUInstallDirs)

set(QUILLORA_APP_ID "com.tandrevel.Quillora")
set(QUILLORA_PACKAGING_DIR "${PROJECT_SOURCE_DIR}/packaging")
set(QUILLORA_ICON_SVG "${PROJECT_SOURCE_DIR}/Quillora/Desktop/resources/symbols/quillora.svg")

install(FILES "${QUILLORA_PACKAGING_DIR}/${QUILLORA_APP_ID}.desktop"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")

# The icon: the SVG the program shows as its window icon, plus PNGs for menus and docks that want them.
# They are rendered with Qt's own SVG renderer, which the program needs anyway.
install(FILES "${QUILLORA_ICON_SVG}" DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps"
        RENAME "${QUILLORA_APP_ID}.svg")
set(QUILLORA_ICON_SIZES 16 22 24 32 48 64 128 256)
set(QUILLORA_ICON_DIR "${PROJECT_BINARY_DIR}/icons")
set(QUILLORA_ICON_PNGS "")
foreach(size IN LISTS QUILLORA_ICON_SIZES)
  list(APPEND QUILLORA_ICON_PNGS "${QUILLORA_ICON_DIR}/${size}.png")
endforeach()
add_executable(quillora_render_icon "${QUILLORA_PACKAGING_DIR}/render-icon.cpp")
target_link_libraries(quillora_render_icon PRIVATE Qt6::Gui Qt6::Svg quillora_warnings)
add_custom_command(
  OUTPUT ${QUILLORA_ICON_PNGS}
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${QUILLORA_ICON_DIR}"
  COMMAND quillora_render_icon "${QUILLORA_ICON_SVG}" "${QUILLORA_ICON_DIR}" ${QUILLORA_ICON_SIZES}
  DEPENDS quillora_render_icon "${QUILLORA_ICON_SVG}"
  COMMENT "Rendering the application icon"
  VERBATIM)
foreach(size IN LISTS QUILLORA_ICON_SIZES)
  install(FILES "${QUILLORA_ICON_DIR}/${size}.png"
          DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps"
          RENAME "${QUILLORA_APP_ID}.png")
endforeach()

# The manual page, with the project's version, compressed as Debian wants it (man reads both).
set(QUILLORA_MAN_PAGE "${PROJECT_BINARY_DIR}/quillora.1")
configure_file("${QUILLORA_PACKAGING_DIR}/quillora.1.in" "${QUILLORA_MAN_PAGE}" @ONLY)
find_program(QUILLORA_GZIP gzip)
if(QUILLORA_GZIP)
  set(QUILLORA_MAN_GZ "${PROJECT_BINARY_DIR}/quillora.1.gz")
  # -n leaves the name and time out of the archive, so every build gives the same bytes.
  add_custom_command(
    OUTPUT "${QUILLORA_MAN_GZ}"
    COMMAND "${QUILLORA_GZIP}" -9 -n -c "${QUILLORA_MAN_PAGE}" > "${QUILLORA_MAN_GZ}"
    DEPENDS "${QUILLORA_MAN_PAGE}"
    COMMENT "Compressing the manual page")
  install(FILES "${QUILLORA_MAN_GZ}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
else()
  set(QUILLORA_MAN_GZ "")
  install(FILES "${QUILLORA_MAN_PAGE}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
endif()

add_custom_target(quillora_desktop_files ALL DEPENDS ${QUILLORA_ICON_PNGS} ${QUILLORA_MAN_GZ})

# Everything `cmake --install` lays out, so `make package` can build just that.
add_custom_target(quillora_installed)
add_dependencies(quillora_installed quillora quillora_desktop_files)

# ----- the .deb -----
set(QUILLORA_PACKAGE_MAINTAINER "Tandrevel <quillora@tandrevel.com>"
    CACHE STRING "The .deb's Maintainer field")

set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_PACKAGE_NAME "quillora")
set(CPACK_PACKAGE_VENDOR "Tandrevel")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${QUILLORA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "call recorder for the desktop tray")
# The first line of the Description field is the summary above; CPack indents the rest.
set(CPACK_PACKAGE_DESCRIPTION
    "Quillora sits in the system tray, notices when a calling application (a
browser meeting, a video-call client, a chat app) starts using the
microphone and offers to record. It captures what the computer plays and
the microphone on one clock through PipeWire, levels the voice, and mixes
both into one stereo AAC .m4a file that survives device changes and a
killed process. A headless --record mode prints a JSON summary.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The libraries the program links come from dpkg-shlibdeps; what it only loads at run time is named here:
# Qt's platform plugins.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# An audio server to record from; the PulseAudio side of PipeWire, which browsers capture through and
# which plays the event sound; the sound theme that has that sound; Qt's own texts in Italian; PackageKit,
# which installs updates.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "pipewire, wireplumber, pipewire-pulse, libcanberra-pulse, sound-theme-freedesktop, qt6-translations-l10n, packagekit")
# Only for running natively on Wayland (QT_QPA_PLATFORM=wayland); by default the program uses XWayland.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qt6-wayland")

# ----- the portable archive -----
set(QUILLORA_PORTABLE_EXTRA "${PROJECT_BINARY_DIR}/portable-extra")
file(MAKE_DIRECTORY "${QUILLORA_PORTABLE_EXTRA}")
file(WRITE "${QUILLORA_PORTABLE_EXTRA}/quillora.portable"
     "Portable copy of Quillora: start bin/quillora. It offers to move itself to ~/Applications/Quillora.\n")
set(QUILLORA_ARCHIVE_ARCHITECTURE "${QUILLORA_ARCHITECTURE}")
configure_file("${PROJECT_SOURCE_DIR}/cmake/PackagingGenerators.cmake.in"
               "${PROJECT_BINARY_DIR}/PackagingGenerators.cmake" @ONLY)
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_BINARY_DIR}/PackagingGenerators.cmake")

include(CPack)
