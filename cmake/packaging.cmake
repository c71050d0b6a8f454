# Debian packages, built by CPack from the install rules (cpack -G DEB in a build
# directory; scripts/cross-armhf for the device):
#   sourcebar        the program in /usr/lib/sourcebar, /usr/bin/sourcebar, its
#                    systemd unit and /etc/default/sourcebar (install component "program")
#   sourcebar-tools  the developer tools txsim and playerd (component "tools"), when built
# Included at the end of the top-level CMakeLists.txt, when every install rule is known.
# The unit and the settings go to absolute paths (/usr/lib/systemd/system, /etc/default):
# the rules are meant for packaging with the prefix /usr.

# The maintainer appears in the packages' control files, their changelog and their
# copyright file. The default is a placeholder in the reserved .invalid domain:
# set the real one with -DSOURCEBAR_MAINTAINER="Name <address>".
set(SOURCEBAR_MAINTAINER "sourcebar developers <dev@sourcebar.invalid>" CACHE STRING
    "Maintainer field of the Debian packages")
# Build trees configured before kept the earlier placeholder, which lintian refuses.
if(SOURCEBAR_MAINTAINER STREQUAL "sourcebar developers <sourcebar@localhost>")
    set(SOURCEBAR_MAINTAINER "sourcebar developers <dev@sourcebar.invalid>" CACHE STRING
        "Maintainer field of the Debian packages" FORCE)
endif()
set(SOURCEBAR_COPYRIGHT "sourcebar developers" CACHE STRING
    "Copyright holder named in the packages' copyright file")
set(SOURCEBAR_LICENSE "proprietary" CACHE STRING
    "Short licence name in the packages' copyright file")
set(SOURCEBAR_LICENSE_TEXT
    "All rights reserved. No licence to copy, change or distribute this software is granted."
    CACHE STRING "Licence text in the packages' copyright file (one paragraph)")

set(_deb ${CMAKE_CURRENT_LIST_DIR}/deb)
set(_stage ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${_stage})

# /usr/bin/sourcebar: a relative link to the program, which finds its font through
# its own resolved path (/proc/self/exe), so the link needs nothing beside it.
file(CREATE_LINK ../lib/sourcebar/sourcebar ${_stage}/sourcebar SYMBOLIC)
install(FILES ${_stage}/sourcebar DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
install(FILES ${_deb}/sourcebar.service DESTINATION /usr/lib/systemd/system COMPONENT program)
install(FILES ${_deb}/sourcebar.default DESTINATION /etc/default RENAME sourcebar COMPONENT program)
install(FILES ${_deb}/eglfs.json DESTINATION /etc/sourcebar COMPONENT program)

# The font beside the program is a link into fonts-dejavu-core. The build tree's
# link (app/) is absolute; the package gets a relative one, as Debian wants for
# links within /usr. This rule comes after app/'s and replaces its link.
file(RELATIVE_PATH _font_link /usr/lib/sourcebar ${SOURCEBAR_FONT})
file(CREATE_LINK ${_font_link} ${_stage}/DejaVuSansMono.ttf SYMBOLIC)
install(FILES ${_stage}/DejaVuSansMono.ttf DESTINATION lib/sourcebar COMPONENT program)

# Each package's /usr/share/doc holds the copyright file and the changelog
# (gzip -9n: maximal compression, no name or time stamp, so builds repeat), and
# each program has a manual page.
find_program(GZIP gzip REQUIRED)
function(sourcebar_gzip src dst)
    execute_process(COMMAND ${GZIP} -9nc ${src} OUTPUT_FILE ${dst} RESULT_VARIABLE _result)
    if(NOT _result EQUAL 0)
        message(FATAL_ERROR "gzip ${src} failed")
    endif()
endfunction()
set(VERSION ${PROJECT_VERSION})
configure_file(${_deb}/copyright.in ${_stage}/copyright @ONLY)
configure_file(${_deb}/changelog.in ${_stage}/changelog @ONLY)
sourcebar_gzip(${_stage}/changelog ${_stage}/changelog.gz)
set(_packages sourcebar:program)
if(TARGET txsim AND TARGET playerd)
    list(APPEND _packages sourcebar-tools:tools)
endif()
foreach(_package_component IN LISTS _packages)
    string(REPLACE ":" ";" _pc ${_package_component})
    list(GET _pc 0 _package)
    list(GET _pc 1 _component)
    install(FILES ${_stage}/copyright ${_stage}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_package} COMPONENT ${_component})
endforeach()
foreach(_page sourcebar:program txsim:tools playerd:tools)
    string(REPLACE ":" ";" _pc ${_page})
    list(GET _pc 0 _name)
    list(GET _pc 1 _component)
    if(_component STREQUAL tools AND NOT sourcebar-tools:tools IN_LIST _packages)
        continue()
    endif()
    configure_file(${_deb}/man/${_name}.1 ${_stage}/${_name}.1 @ONLY)
    sourcebar_gzip(${_stage}/${_name}.1 ${_stage}/${_name}.1.gz)
    install(FILES ${_stage}/${_name}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${_component})
endforeach()

# Debian's name of the target architecture: amd64 natively, armhf from the cross toolchain.
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(COMMAND dpkg-architecture -qDEB_HOST_ARCH -t ${CMAKE_LIBRARY_ARCHITECTURE}
                    OUTPUT_VARIABLE _deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET RESULT_VARIABLE _deb_arch_result)
else()
    execute_process(COMMAND dpkg --print-architecture
                    OUTPUT_VARIABLE _deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET RESULT_VARIABLE _deb_arch_result)
endif()
if(NOT _deb_arch_result EQUAL 0 OR NOT _deb_arch)
    message(STATUS "packaging: dpkg-architecture not found (package dpkg-dev): no Debian packages")
    return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's description below starts with its own summary line. CPack puts
# the project-wide summary in front of it unless that summary is CPack's default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_CONTACT "${SOURCEBAR_MAINTAINER}")
# The unit and the settings file have absolute destinations: CPack installs into
# its staging root through DESTDIR, with the prefix /usr whatever the build's own is.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_deb_arch})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SOURCEBAR_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies (Qt, zlib, libc) come from dpkg-shlibdeps, which reads
# the target architecture's libraries from the multiarch folders.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# Only the components that this build has: the tools may be switched off or absent.
get_cmake_property(_components COMPONENTS)
set(CPACK_COMPONENTS_ALL program)
if(tools IN_LIST _components)
    list(APPEND CPACK_COMPONENTS_ALL tools)
endif()

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME sourcebar)
# adduser: the postinst creates the system user sourcebar.
set(CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS "fonts-dejavu-core, adduser")
if(SOURCEBAR_QT EQUAL 6)
    # The service's default platform plugin, eglfs, comes with libqt6opengl6 in
    # Debian's Qt 6 (with libqt6gui6 in Qt 5); dpkg-shlibdeps cannot see plugins.
    string(APPEND CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS ", libqt6opengl6")
endif()
set(CPACK_COMPONENT_PROGRAM_DESCRIPTION
"${PROJECT_DESCRIPTION}
One translucent full-screen window with a row of source buttons: it finds
video transmitters on the LAN by a UDP broadcast, shows their JPEG previews
and sends the chosen source to the player service. Runs as the systemd
service sourcebar.service; /etc/default/sourcebar picks the Qt platform.")
set(CPACK_DEBIAN_PROGRAM_PACKAGE_CONTROL_EXTRA
    ${_deb}/conffiles ${_deb}/postinst ${_deb}/prerm ${_deb}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME sourcebar-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
"Developer tools of sourcebar: transmitter simulator, player stand-in
txsim simulates video transmitters (discovery replies and preview pictures);
playerd stands in for the player service and logs the play commands.")

include(CPack)

# The package's layout, checked from a scratch root (dpkg -x).
if(SOURCEBAR_TESTS)
    add_test(NAME package_layout
             COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/check-package ${CMAKE_BINARY_DIR} ${_deb_arch})
    set_tests_properties(package_layout PROPERTIES TIMEOUT 300 RESOURCE_LOCK cpack)

    # The packages in debs/, built once for lintian and the service check.
    set(_debs ${CMAKE_BINARY_DIR}/debs)
    add_test(NAME package_build
             COMMAND sh -c "rm -rf \"$1\" && cpack --config \"$2\" -G DEB -B \"$1\" >\"$1.log\" 2>&1 || { cat \"$1.log\"; exit 1; }"
                     _ ${_debs} ${CMAKE_BINARY_DIR}/CPackConfig.cmake)
    set_tests_properties(package_build PROPERTIES TIMEOUT 120 RESOURCE_LOCK cpack FIXTURES_SETUP debs)

    # No lintian error, warning or information tag on either package; without
    # the hardening flags (sanitizer builds) lintian notes their absence, so
    # information tags are then shown but not counted.
    set(_lintian_fail error,warning)
    if(SOURCEBAR_HARDENED)
        string(APPEND _lintian_fail ",info")
    endif()
    set(_deb_files ${_debs}/sourcebar_${PROJECT_VERSION}_${_deb_arch}.deb)
    if(sourcebar-tools:tools IN_LIST _packages)
        list(APPEND _deb_files ${_debs}/sourcebar-tools_${PROJECT_VERSION}_${_deb_arch}.deb)
    endif()
    add_test(NAME package_lintian
             COMMAND lintian --fail-on ${_lintian_fail} --tag-display-limit 0 --info ${_deb_files})
    set_tests_properties(package_lintian PROPERTIES TIMEOUT 300 FIXTURES_REQUIRED debs)

    # The unit's verify and exposure (at most 1.0 with systemd 252 and 257), the
    # sandbox's room for each platform, and the system user.
    add_test(NAME service_sandbox
             COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/check-service
                     ${_debs}/sourcebar_${PROJECT_VERSION}_${_deb_arch}.deb 1.0)
    set_tests_properties(service_sandbox PROPERTIES TIMEOUT 120 FIXTURES_REQUIRED debs)

    # The packages installed and run under systemd on an emulated board of this
    # architecture (tests/board/README.md). Label board: scripts/test leaves it out
    # unless given --board, which builds the board image first; without a
    # current image the test is skipped. The image holds Debian's Qt 5.
    if(SOURCEBAR_QT EQUAL 5 AND _deb_arch MATCHES "^(armhf|amd64)$" AND sourcebar-tools:tools IN_LIST _packages)
        add_test(NAME board
                 COMMAND ${CMAKE_CURRENT_LIST_DIR}/../tests/board/test --arch ${_deb_arch}
                         --packages ${_debs} --out ${CMAKE_BINARY_DIR}/board)
        set_tests_properties(board PROPERTIES TIMEOUT 3600 LABELS board SKIP_RETURN_CODE 77
                             FIXTURES_REQUIRED debs RESOURCE_LOCK board)
    endif()
endif()
