# Memcheck of a whole run with geolocation: the database, its flattened tables,
# the sketches, the line buffer and the report must all be released, and no
# decision may rest on uninitialised memory. Only in a build without the
# sanitizers (they and valgrind do not mix) and where valgrind is installed,
# not in the static build (valgrind cannot replace a static binary's
# allocator and reports the C library's own exit as errors), and not in a
# cross build, whose binary the host's valgrind cannot run.
# Included from tests/CMakeLists.txt.
find_program(VESTREL_VALGRIND valgrind)
if(VESTREL_VALGRIND AND NOT VESTREL_SANITIZE AND NOT VESTREL_STATIC AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME valgrind_geo_run
    COMMAND ${VESTREL_VALGRIND} --error-exitcode=99 --vgdb=no --leak-check=full
            --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect
            $<TARGET_FILE:vestrel> -g -d ${CMAKE_CURRENT_LIST_DIR}/geo/fixture.mmdb
            ${CMAKE_CURRENT_LIST_DIR}/fault/geo.log)
  set_tests_properties(valgrind_geo_run PROPERTIES TIMEOUT 300)
endif()
