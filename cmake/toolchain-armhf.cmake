# Cross-compiling for the device: ARMv7 hard-float Linux, against Debian's
# multiarch armhf packages installed beside the build machine's own
# (dpkg --add-architecture armhf; scripts/cross-armhf installs them).
#   cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(SOURCEBAR_TARGET_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${SOURCEBAR_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${SOURCEBAR_TARGET_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${SOURCEBAR_TARGET_TRIPLET})

# Target headers and libraries live in the multiarch folders of the build
# machine's own root (/usr/include/arm-linux-gnueabihf, /usr/lib/arm-linux-gnueabihf),
# the cross toolchain's C library under /usr/arm-linux-gnueabihf. Libraries,
# headers and packages are searched there only; programs on the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${SOURCEBAR_TARGET_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Never the build machine's own libraries, even through a fallback path.
set(CMAKE_IGNORE_PATH
    /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
    /usr/lib/x86_64-linux-gnu/cmake /usr/lib/x86_64-linux-gnu/cmake/Qt5)

# Qt's package configuration for the target. Its Qt5::moc, Qt5::rcc and
# Qt5::uic already point at /usr/lib/qt5/bin, which Debian fills from the
# build machine's qtbase5-dev-tools (Multi-Arch: foreign), so AUTOMOC, AUTORCC
# and AUTOUIC run host programs without further help.
set(Qt5_DIR /usr/lib/${SOURCEBAR_TARGET_TRIPLET}/cmake/Qt5 CACHE PATH "Qt5 package configuration of the target")
# Qt 6 (-DSOURCEBAR_QT=6) looks for its host tools (moc, rcc, uic) through the
# build machine's own Qt 6 package configuration: QT_HOST_PATH, and the
# multiarch folder of qt6-base-dev for the build machine (Multi-Arch: same, so
# it sits beside the target's).
set(Qt6_DIR /usr/lib/${SOURCEBAR_TARGET_TRIPLET}/cmake/Qt6 CACHE PATH "Qt6 package configuration of the target")
execute_process(COMMAND dpkg-architecture -qDEB_BUILD_MULTIARCH
                OUTPUT_VARIABLE _build_multiarch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT _build_multiarch)
    set(_build_multiarch x86_64-linux-gnu)
endif()
set(QT_HOST_PATH /usr CACHE PATH "The build machine's Qt 6 (host tools)")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${_build_multiarch}/cmake CACHE PATH
    "The build machine's Qt 6 package configuration (host tools)")

# CTest runs the target's test programs under user-mode emulation (qemu-user).
# Plain qemu-arm takes the multiarch loader /lib/ld-linux-armhf.so.3 from
# libc6:armhf; pointing it at /usr/arm-linux-gnueabihf with -L instead mixes
# the cross toolchain's loader with the multiarch C library, and threaded
# programs crash.
find_program(SOURCEBAR_QEMU_ARM qemu-arm)
if(SOURCEBAR_QEMU_ARM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${SOURCEBAR_QEMU_ARM})
endif()
