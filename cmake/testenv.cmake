# Every test runs with the same Qt environment, whatever the caller exported:
# Qt reads these variables itself, and a caller's own value would change what a
# test sees (the log format and which lines are logged, the style and scale
# that size the buttons, the plugins loaded, a proxy between the program and
# the simulated transmitters). Qt's per-user settings (qtlogging.ini) and the
# user's fontconfig files are kept out by a configuration directory of the build's own.
set(SOURCEBAR_TEST_ENV_UNSET
    QT_MESSAGE_PATTERN QT_LOGGING_RULES QT_LOGGING_CONF QT_LOGGING_TO_CONSOLE
    QT_FORCE_STDERR_LOGGING QT_ASSUME_STDERR_HAS_CONSOLE
    QT_FATAL_WARNINGS QT_FATAL_CRITICALS QT_DEBUG_PLUGINS
    QT_PLUGIN_PATH QT_QPA_PLATFORM_PLUGIN_PATH QT_QPA_PLATFORMTHEME QT_QPA_GENERIC_PLUGINS
    QT_STYLE_OVERRIDE QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS QT_AUTO_SCREEN_SCALE_FACTOR
    QT_ENABLE_HIGHDPI_SCALING QT_SCALE_FACTOR_ROUNDING_POLICY QT_FONT_DPI QT_QPA_FONTDIR
    QT_USE_NATIVE_WINDOWS QT_XCB_GL_INTEGRATION QT_QUICK_BACKEND
    http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY)

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
