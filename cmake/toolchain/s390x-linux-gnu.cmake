# s390x, big-endian: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain/s390x-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(VESTREL_TRIPLET s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
