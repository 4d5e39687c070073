# Cross build with Debian's toolchain for VESTREL_TRIPLET (set by the file
# that includes this one): the compiler `TRIPLET-g++` (package
# g++-TRIPLET), the libraries of the multiarch -dev packages (DEB_ARCH as in
# `apt-get install libjansson-dev:arm64`) found by `TRIPLET-pkg-config`
# (package pkgconf:DEB_ARCH), and the tests run under qemu-user
# (qemu-PROCESSOR-static, package qemu-user-static).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VESTREL_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VESTREL_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VESTREL_TRIPLET})
set(PKG_CONFIG_EXECUTABLE ${VESTREL_TRIPLET}-pkg-config CACHE FILEPATH "pkg-config of the target")
# The programs run on the multiarch libraries (libc6:DEB_ARCH,
# libstdc++6:DEB_ARCH and those of the -dev packages), as on a Debian system
# of that machine. Not with qemu's -L /usr/TRIPLET: the loader found there
# belongs to the cross compiler's C library, a different build from the
# multiarch libc.so.6 it then loads, and the pair hangs in fork.
find_program(VESTREL_QEMU qemu-${CMAKE_SYSTEM_PROCESSOR}-static)
if(VESTREL_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VESTREL_QEMU})
endif()
