# Every test runs with the same Qt environment, whatever the caller exported:
# the variables in cmake/isolated-environment are dropped. Qt's per-user
# settings (qtlogging.ini) and the user's fontconfig files are kept out by a
# configuration directory of the build's own.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/isolated-environment SOURCEBAR_TEST_ENV_UNSET REGEX "^[A-Za-z_]+$")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/isolated-environment)

# Applies that environment to every test defined so far in the calling
# directory: call it at the end of each CMakeLists.txt that adds tests.
function(sourcebar_isolate_tests)
    set(config_home ${CMAKE_BINARY_DIR}/test-config)
    file(MAKE_DIRECTORY ${config_home})
    get_property(tests DIRECTORY PROPERTY TESTS)
    if(NOT tests)
        return()
    endif()
    # Qt 6.8 warns on standard error under a locale that is not UTF-8 (a plain
    # chroot or service has none set), which would reach the logs the tests read.
    set_property(TEST ${tests} APPEND PROPERTY ENVIRONMENT
                 "XDG_CONFIG_HOME=${config_home}" "LC_ALL=C.UTF-8")
    # ENVIRONMENT_MODIFICATION came with CMake 3.22 (Debian 12 has 3.25).
    if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.22)
        set(unset)
        foreach(var IN LISTS SOURCEBAR_TEST_ENV_UNSET)
            list(APPEND unset "${var}=unset:")
        endforeach()
        set_property(TEST ${tests} APPEND PROPERTY ENVIRONMENT_MODIFICATION ${unset})
    endif()
endfunction()
