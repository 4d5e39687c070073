# VESTREL_STATIC: a vestrel that can be copied to another Linux host. Every
# pkg-config dependency of vestrel_core (any PkgConfig::NAME target linked to
# it, wherever in the build files that happens) is linked from its static
# archive with the flags of `pkg-config --static`, and the C++ runtime and
# libgcc are linked statically. The C library stays dynamic: glibc's static
# form cannot load the name-service modules, and every Linux host with a
# glibc has one. Included from CMakeLists.txt.

# Libraries that glibc itself provides; they stay shared.
set(VESTREL_GLIBC_LIBS c m pthread dl rt util resolv anl mvec)

# Runs at the end of the top-level CMakeLists.txt (deferred), so it sees links
# added after this file was included.
function(vestrel_link_statically)
  get_target_property(links vestrel_core LINK_LIBRARIES)
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
      if(lib IN_LIST VESTREL_GLIBC_LIBS)
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
  cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL vestrel_link_statically)
  # --gc-sections drops the parts of libstdc++ the program never calls
  # (std::random_device among them), and with them their references to
  # glibc 2.36 symbols: the binary then needs glibc 2.35 (_dl_find_object, for
  # the unwinder of the static libgcc) instead of 2.36.
  target_link_options(vestrel PRIVATE -static-libstdc++ -static-libgcc -Wl,--gc-sections)
endif()
