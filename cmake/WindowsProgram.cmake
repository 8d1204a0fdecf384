# The Windows program QNLaserControl.exe (MinGW presets, static Qt from scripts/build-qt-mingw.sh):
# a window program without a console, Qt's static plugins, the icon made from our SVG, and the
# packages: `cpack -G NSIS` an installer, `cpack -G ZIP` a portable folder.

# Qt links the plugins a static program needs by itself only for the defaults; name them, and
# leave out the kinds the program does not use (Qt's own list would add the network-information
# and input-context plugins). The SVG ones when Qt has its SVG module.
set(LASER_QT_PLUGINS Qt6::QWindowsIntegrationPlugin Qt6::QWindowsVistaStylePlugin)
if(TARGET Qt6::QSvgPlugin)
  list(APPEND LASER_QT_PLUGINS Qt6::QSvgPlugin Qt6::QSvgIconPlugin)
endif()
qt_import_plugins(QNLaserControl INCLUDE ${LASER_QT_PLUGINS}
                  EXCLUDE_BY_TYPE networkinformation platforminputcontexts generic tls)
set_target_properties(QNLaserControl PROPERTIES WIN32_EXECUTABLE ON)

# The icon of the executable, its windows and the installer: our SVG drawn at the sizes Windows
# asks for, made at build time. IDI_ICON1 is the name Qt's Windows platform looks for.
find_program(LASER_RSVG_CONVERT rsvg-convert)
find_program(LASER_ICOTOOL icotool)
if(NOT LASER_RSVG_CONVERT OR NOT LASER_ICOTOOL)
  message(FATAL_ERROR "The Windows icon needs rsvg-convert and icotool (Debian: librsvg2-bin, "
                      "icoutils; scripts/setup.sh installs them)")
endif()
set(LASER_ICON_SVG ${PROJECT_SOURCE_DIR}/ui/resources/app.svg)
set(LASER_ICON ${CMAKE_CURRENT_BINARY_DIR}/QNLaserControl.ico)
set(icon_pngs)
set(icon_args)
foreach(size 16 20 24 32 40 48 64 256)
  set(png ${CMAKE_CURRENT_BINARY_DIR}/icon/app-${size}.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/icon
    COMMAND ${LASER_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${LASER_ICON_SVG}
    DEPENDS ${LASER_ICON_SVG} VERBATIM)
  list(APPEND icon_pngs ${png})
  # The large one stays PNG inside the icon, as Windows keeps it.
  if(size EQUAL 256)
    list(APPEND icon_args --raw=${png})
  else()
    list(APPEND icon_args ${png})
  endif()
endforeach()
add_custom_command(OUTPUT ${LASER_ICON}
  COMMAND ${LASER_ICOTOOL} -c -o ${LASER_ICON} ${icon_args}
  DEPENDS ${icon_pngs} VERBATIM)
add_custom_target(laser_icon DEPENDS ${LASER_ICON})
add_dependencies(QNLaserControl laser_icon)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/QNLaserControl-icon.rc "IDI_ICON1 ICON \"${LASER_ICON}\"\n")
target_sources(QNLaserControl PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/QNLaserControl-icon.rc)
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/QNLaserControl-icon.rc PROPERTIES
                            OBJECT_DEPENDS ${LASER_ICON})

# The packages hold the program alone: it is one static executable.
install(TARGETS QNLaserControl RUNTIME DESTINATION .)
set(CPACK_PACKAGE_NAME "LaserControl")
set(CPACK_PACKAGE_VENDOR "Corvane GmbH")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Laser Control")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Laser Control")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Laser Control")
# A 64-bit program gets a 64-bit installer (which the 64-bit Wine runs without the 32-bit one).
# (In the script: cpack would split a "-XTarget ..." argument of makensis at its space.)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  set(CPACK_NSIS_DEFINES "Target amd64-unicode")
else()
  set(CPACK_SYSTEM_NAME win32)
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES")
  set(CPACK_NSIS_DEFINES "Target x86-unicode")
endif()
set(CPACK_STRIP_FILES ON)
# Start-menu entry "Laser Control" (and the uninstaller's beside it); no licence page.
set(CPACK_PACKAGE_EXECUTABLES "QNLaserControl" "Laser Control")
set(CPACK_NSIS_EXECUTABLES_DIRECTORY ".")
set(CPACK_NSIS_DISPLAY_NAME "Laser Control")
set(CPACK_NSIS_PACKAGE_NAME "Laser Control")
set(CPACK_NSIS_INSTALLED_ICON_NAME "QNLaserControl.exe")
set(CPACK_NSIS_MUI_ICON ${LASER_ICON})
set(CPACK_NSIS_MUI_UNIICON ${LASER_ICON})
set(CPACK_NSIS_IGNORE_LICENSE_PAGE ON)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# A settings file the program kept beside itself (the folder was writable) goes with the folder;
# one in the user's application-data folder stays, as the user's own.
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "Delete \"$INSTDIR\\QNLaserControl.ini\"")
set(CPACK_NSIS_MUI_FINISHPAGE_RUN "QNLaserControl.exe")
set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
set(CPACK_GENERATOR "NSIS;ZIP")
# The portable folder unpacks as "LaserControl-<version>-win32/QNLaserControl.exe" (NSIS has no
# such folder, and cpack warns when it is asked for one).
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/CPackGenerators.cmake
     "if(CPACK_GENERATOR STREQUAL \"ZIP\")\n  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)\nendif()\n")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/CPackGenerators.cmake)
# The values reach CPackConfig.cmake as written here (quotes and backslashes of NSIS commands).
set(CPACK_VERBATIM_VARIABLES ON)
include(CPack)
