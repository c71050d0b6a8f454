# Install rules with the prefix /usr, which the Debian packages (debian/, built
# by debhelper: scripts/package) split into
#   sourcebar        the program in /usr/lib/sourcebar, /usr/bin/sourcebar and
#                    the eglfs settings (the unit and /etc/default/sourcebar
#                    come from debian/)
#   sourcebar-tools  the developer tools txsim and playerd, when built
# Included at the end of the top-level CMakeLists.txt, when every install rule is known.
# The eglfs settings' copy goes to the absolute /etc/sourcebar: the rules are
# meant for packaging with the prefix /usr.

set(_deb ${CMAKE_CURRENT_LIST_DIR}/deb)
set(_stage ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${_stage})

# /usr/bin/sourcebar: a relative link to the program, which finds its font through
# its own resolved path (/proc/self/exe), so the link needs nothing beside it.
file(CREATE_LINK ../lib/sourcebar/sourcebar ${_stage}/sourcebar SYMBOLIC)
install(FILES ${_stage}/sourcebar DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
# eglfs's output settings: the package's own, which the unit names, and a copy
# in /etc for local changes (named in /etc/default/sourcebar when changed).
install(FILES ${_deb}/eglfs.json DESTINATION lib/sourcebar COMPONENT program)
install(FILES ${_deb}/eglfs.json DESTINATION /etc/sourcebar COMPONENT program)

# The font beside the program is a link into fonts-dejavu-core. The build tree's
# link (app/) is absolute; the package gets a relative one, as Debian wants for
# links within /usr. This rule comes after app/'s and replaces its link.
file(RELATIVE_PATH _font_link /usr/lib/sourcebar ${SOURCEBAR_FONT})
file(CREATE_LINK ${_font_link} ${_stage}/DejaVuSansMono.ttf SYMBOLIC)
install(FILES ${_stage}/DejaVuSansMono.ttf DESTINATION lib/sourcebar COMPONENT program)

# A manual page for each program (debhelper compresses them).
set(VERSION ${SOURCEBAR_FULL_VERSION})
foreach(_page sourcebar:program txsim:tools playerd:tools)
    string(REPLACE ":" ";" _pc ${_page})
    list(GET _pc 0 _name)
    list(GET _pc 1 _component)
    if(_component STREQUAL tools AND NOT (TARGET txsim AND TARGET playerd))
        continue()
    endif()
    configure_file(${_deb}/man/${_name}.1 ${_stage}/${_name}.1 @ONLY)
    install(FILES ${_stage}/${_name}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${_component})
endforeach()

if(NOT SOURCEBAR_TESTS)
    return()
endif()

# The version between releases sorts after the release and every earlier build.
add_test(NAME version_order COMMAND ${CMAKE_CURRENT_LIST_DIR}/../tests/version-order)
set_tests_properties(version_order PROPERTIES TIMEOUT 120)
# The packages of this build's Qt major, made from the source tree by
# dpkg-buildpackage (scripts/package) into debs/, once for the tests below.
# Sanitizer and fuzz builds leave them out: the packages are built with
# Debian's own flags whatever this build's are.
find_program(DPKG_BUILDPACKAGE dpkg-buildpackage)
if(NOT DPKG_BUILDPACKAGE OR CMAKE_CROSSCOMPILING OR SOURCEBAR_SANITIZE OR SOURCEBAR_FUZZ)
    message(STATUS "packaging: no package tests in this build")
    return()
endif()
execute_process(COMMAND dpkg --print-architecture
                OUTPUT_VARIABLE _deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE)
set(_debs ${CMAKE_BINARY_DIR}/debs)
add_test(NAME package_build
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/package --qt ${SOURCEBAR_QT}
                 --out ${_debs} --work ${CMAKE_BINARY_DIR}/package-build)
set_tests_properties(package_build PROPERTIES TIMEOUT 900 FIXTURES_SETUP debs)

# The packages' layout, checked from a scratch root (dpkg -x).
add_test(NAME package_layout
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/check-package ${_debs} ${_deb_arch} ${SOURCEBAR_QT})
set_tests_properties(package_layout PROPERTIES TIMEOUT 300 FIXTURES_REQUIRED debs)

# No lintian error, warning or information tag on the source and the binaries.
add_test(NAME package_lintian
         COMMAND sh -c "exec lintian --fail-on error,warning,info --tag-display-limit 0 --info \"$1\"/*.changes"
                 _ ${_debs})
set_tests_properties(package_lintian PROPERTIES TIMEOUT 300 FIXTURES_REQUIRED debs)

# The unit's verify and exposure (at most 1.0 with systemd 252 and 257), the
# sandbox's room for each platform, and the system user.
add_test(NAME service_sandbox
         COMMAND sh -c "exec \"$1\" \"$2\"/sourcebar_*_\"$3\".deb 1.0"
                 _ ${CMAKE_CURRENT_LIST_DIR}/../scripts/check-service ${_debs} ${_deb_arch})
set_tests_properties(service_sandbox PROPERTIES TIMEOUT 120 FIXTURES_REQUIRED debs)


# The packages installed and run under systemd on an emulated board of this
# architecture (tests/board/README.md). Label board: scripts/test leaves it out
# unless given --board, which builds the board image first; without a
# current image the test is skipped. The image holds Debian's Qt 5.
if(SOURCEBAR_QT EQUAL 5 AND _deb_arch MATCHES "^(armhf|amd64)$" AND TARGET txsim AND TARGET playerd)
    add_test(NAME board
             COMMAND ${CMAKE_CURRENT_LIST_DIR}/../tests/board/test --arch ${_deb_arch}
                     --packages ${_debs} --out ${CMAKE_BINARY_DIR}/board)
    set_tests_properties(board PROPERTIES TIMEOUT 3600 LABELS board SKIP_RETURN_CODE 77
                         FIXTURES_REQUIRED debs RESOURCE_LOCK board)
endif()
