# VESTREL_STATIC: a vestrel with no program interpreter and no shared library,
# that runs in an empty root on any Linux kernel glibc's static form supports
# (3.2 and later for Debian 12's glibc 2.36). Every pkg-config dependency of
# vestrel_core (any PkgConfig::NAME target linked to it, wherever in the build
# files that happens) is linked from its static archive with the libraries of
# `pkg-config --static`; the C library, the C++ runtime and libgcc come from
# their archives too, as a static position-independent executable (static-pie,
# so that address randomisation still moves the program).
#
# What a static glibc cannot do, and why none of it bites here: it cannot load
# the name-service modules (NSS) or anything else with dlopen. vestrel looks
# up no user, group or host; the one such call in its libraries,
# getaddrinfo in libmaxminddb's MMDB_lookup_string, is one vestrel never
# makes, and the link replaces it and freeaddrinfo (see src/compat.cpp) so
# that NSS is not in the binary. What stays of dlopen in any static glibc
# (message catalogues converted with iconv modules, libio's check of foreign
# stream tables) is reached only in a locale other than "C", and vestrel never
# calls setlocale. Time zones are read from the root the binary runs
# in, as with a shared glibc: a root without /usr/share/zoneinfo still knows
# POSIX TZ values such as UTC0 or JST-9, and a copied /etc/localtime.
#
# Included from CMakeLists.txt after vestrel_core and vestrel are defined;
# tests/CMakeLists.txt calls vestrel_link_static for every test program.

# Libraries of the C library and the compiler's runtime: pkg-config names
# them without a path, and the compiler driver finds their archives itself.
set(VESTREL_RUNTIME_LIBS c m pthread dl rt util resolv anl mvec stdc++ gcc gcc_s)

# Links executable TARGET as a static-pie. The flag goes in with the
# libraries, which CMake puts after every link option: the -pie that
# CMAKE_POSITION_INDEPENDENT_CODE adds among the options would otherwise come
# later and make a dynamic executable of it. -static-libstdc++ and
# -static-libgcc are left out on purpose: with them g++ links the C library as
# a shared one into a binary that has no loader, which dies at its first call.
#
# Where the C library has no static-pie start files (s390x in Debian 12), the
# executable is static and not position-independent: no -pie, -static.
function(vestrel_link_static target)
  if(NOT VESTREL_STATIC)
    return()
  endif()
  if(VESTREL_LINKER_HAS_STATIC_PIE)
    target_link_libraries(${target} PRIVATE -static-pie)
  else()
    set_property(TARGET ${target} PROPERTY POSITION_INDEPENDENT_CODE OFF)
    target_link_libraries(${target} PRIVATE -static)
  endif()
endfunction()

# Runs at the end of the top-level CMakeLists.txt (deferred), so it sees links
# added after this file was included: those of vestrel_core, and of the tests'
# support library (which makes compressed logs with zlib and libzstd) when the
# tests are built.
function(vestrel_link_dependencies_statically)
  get_target_property(links vestrel_core LINK_LIBRARIES)
  if(TARGET vestrel_test_support)
    get_target_property(test_links vestrel_test_support LINK_LIBRARIES)
    list(APPEND links ${test_links})
    list(REMOVE_DUPLICATES links)
  endif()
  foreach(link IN LISTS links)
    if(NOT link MATCHES "^PkgConfig::(.+)$")
      continue()
    endif()
    set(prefix ${CMAKE_MATCH_1})
    if(NOT DEFINED ${prefix}_STATIC_LIBRARIES)
      message(FATAL_ERROR "VESTREL_STATIC: ${link} has no pkg-config --static data")
    endif()
    set(archives)
    foreach(lib IN LISTS ${prefix}_STATIC_LIBRARIES)
      if(lib IN_LIST VESTREL_RUNTIME_LIBS)
        list(APPEND archives ${lib})
        continue()
      endif()
      find_library(VESTREL_ARCHIVE_${lib} NAMES lib${lib}.a
        HINTS ${${prefix}_STATIC_LIBRARY_DIRS})
      if(NOT VESTREL_ARCHIVE_${lib})
        message(FATAL_ERROR "VESTREL_STATIC: lib${lib}.a (needed by ${link}) not found; "
                            "install the development package that ships it")
      endif()
      list(APPEND archives ${VESTREL_ARCHIVE_${lib}})
    endforeach()
    set_target_properties(${link} PROPERTIES
      INTERFACE_LINK_LIBRARIES "${archives}"
      INTERFACE_LINK_OPTIONS "${${prefix}_STATIC_LDFLAGS_OTHER}"
      INTERFACE_INCLUDE_DIRECTORIES "${${prefix}_STATIC_INCLUDE_DIRS}"
      INTERFACE_COMPILE_OPTIONS "${${prefix}_STATIC_CFLAGS_OTHER}")
    message(STATUS "VESTREL_STATIC: ${link} from ${archives}")
  endforeach()
endfunction()

if(VESTREL_STATIC)
  if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    message(FATAL_ERROR "VESTREL_STATIC is for Linux (glibc) only")
  endif()
  if(VESTREL_SANITIZE)
    message(FATAL_ERROR "VESTREL_STATIC and VESTREL_SANITIZE do not mix: the sanitizers' "
                        "run-time libraries are shared ones")
  endif()
  check_linker_flag(CXX -static-pie VESTREL_LINKER_HAS_STATIC_PIE)
  if(NOT VESTREL_LINKER_HAS_STATIC_PIE)
    message(STATUS "VESTREL_STATIC: no static-pie for this C library; a static, fixed-address executable")
  endif()
  cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL vestrel_link_dependencies_statically)
  target_compile_definitions(vestrel_core PRIVATE VESTREL_STATIC)
  # --gc-sections drops the parts of the archives the program never reaches;
  # --wrap sends libmaxminddb's address-resolving calls to compat.cpp's
  # stand-ins.
  target_link_options(vestrel_core INTERFACE -Wl,--gc-sections
    -Wl,--wrap=getaddrinfo -Wl,--wrap=freeaddrinfo)
  vestrel_link_static(vestrel)
  # The link map names every archive and object the binary is made of;
  # scripts/release ships the licences of the packages they come from.
  target_link_options(vestrel PRIVATE "LINKER:-Map=${CMAKE_CURRENT_BINARY_DIR}/vestrel.map")
endif()
