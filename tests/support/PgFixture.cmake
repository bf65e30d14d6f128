# SPDX-License-Identifier: Apache-2.0
# One throw-away PostgreSQL server shared by the tests that ask for it, as CTest fixtures: it is
# started before the first of them and removed after the last (tests/support/pg-test-server.sh).
#   uvq_use_pg_server(TEST ...)
# Each such test finds the server's folder in the file named by UVQ_TEST_PG_FOLDER_FILE; its URL
# is postgresql://uvq@/postgres?host=FOLDER (role uvq, trusted; CREATE DATABASE for a fresh one).
# A suite that stops the server on purpose starts its own instead (PgServer.h).
set(UVQ_PG_TEST_SERVER ${CMAKE_CURRENT_LIST_DIR}/pg-test-server.sh)
set(UVQ_PG_FOLDER_FILE ${CMAKE_BINARY_DIR}/pg-test-server.folder)

function(uvq_use_pg_server)
  # Tests belong to their folder, so `if(TEST ...)` would not see another folder's: a global
  # property says whether the fixture exists.
  get_property(defined GLOBAL PROPERTY UVQ_PG_FIXTURE_DEFINED)
  if(NOT defined)
    set_property(GLOBAL PROPERTY UVQ_PG_FIXTURE_DEFINED TRUE)
    add_test(NAME uvq_pg_server_start COMMAND bash ${UVQ_PG_TEST_SERVER} start ${UVQ_PG_FOLDER_FILE})
    add_test(NAME uvq_pg_server_remove COMMAND bash ${UVQ_PG_TEST_SERVER} remove ${UVQ_PG_FOLDER_FILE})
    set_tests_properties(uvq_pg_server_start PROPERTIES FIXTURES_SETUP uvq_pg TIMEOUT 180)
    set_tests_properties(uvq_pg_server_remove PROPERTIES FIXTURES_CLEANUP uvq_pg TIMEOUT 180)
  endif()
  foreach(test ${ARGN})
    set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED uvq_pg)
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT UVQ_TEST_PG_FOLDER_FILE=${UVQ_PG_FOLDER_FILE})
  endforeach()
endfunction()
