# Private PipeWire daemons for test groups, one per group, started and stopped by CTest fixtures
# with scripts/pipewire-session.sh in ${CMAKE_BINARY_DIR}/pipewire/<group>.
#
#   quillane_pipewire_fixture(<group> [WIREPLUMBER|PORTAL])
#     adds the tests <group>.PipeWireStart and <group>.PipeWireStop and the fixture <group>.PipeWire;
#     PORTAL: a desktop session with the camera portal, whose tests start the portal themselves
#     (`pipewire-session.sh portal $PIPEWIRE_RUNTIME_DIR`) once their camera is up.
#   quillane_use_pipewire(<group> TESTS <test>...)
#     tests made with add_test require the fixture and get the daemon's environment.
#   quillane_use_pipewire(<group> TEST_LIST <var>)
#     the same for the tests of a gtest_discover_tests(... TEST_LIST <var>) call made before it.
#   SERIAL (with either): the tests run one at a time, for groups whose tests start the one camera
#     and would see each other's.

set(QUILLANE_PIPEWIRE_SESSION ${PROJECT_SOURCE_DIR}/scripts/pipewire-session.sh)

function(quillane_pipewire_fixture group)
  cmake_parse_arguments(PARSE_ARGV 1 arg "WIREPLUMBER;PORTAL" "" "")
  set(dir ${CMAKE_BINARY_DIR}/pipewire/${group})
  set(options --replace)
  if(arg_WIREPLUMBER)
    list(APPEND options --wireplumber)
  endif()
  if(arg_PORTAL)
    set_property(GLOBAL PROPERTY QUILLANE_PIPEWIRE_PORTAL_${group} --portal)
    list(APPEND options --portal)
  endif()
  add_test(NAME ${group}.PipeWireStart COMMAND ${QUILLANE_PIPEWIRE_SESSION} start ${options} ${dir})
  add_test(NAME ${group}.PipeWireStop COMMAND ${QUILLANE_PIPEWIRE_SESSION} stop ${dir})
  set_tests_properties(${group}.PipeWireStart PROPERTIES FIXTURES_SETUP ${group}.PipeWire)
  set_tests_properties(${group}.PipeWireStop PROPERTIES FIXTURES_CLEANUP ${group}.PipeWire)
endfunction()

# The daemon's environment as ENVIRONMENT_MODIFICATION entries (NAME=set:value), from the script
# that owns the socket's name; a test's own ENVIRONMENT stays untouched.
function(quillane_pipewire_environment group out_var)
  get_property(portal GLOBAL PROPERTY QUILLANE_PIPEWIRE_PORTAL_${group})
  execute_process(
    COMMAND ${QUILLANE_PIPEWIRE_SESSION} env ${portal} ${CMAKE_BINARY_DIR}/pipewire/${group}
    OUTPUT_VARIABLE lines OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE "export ([A-Z_]+)=" "\\1=set:" lines "${lines}")
  string(REPLACE "\n" ";" entries "${lines}")
  set(${out_var} "${entries}" PARENT_SCOPE)
endfunction()

function(quillane_use_pipewire group)
  cmake_parse_arguments(PARSE_ARGV 1 arg "SERIAL" "TEST_LIST" "TESTS")
  quillane_pipewire_environment(${group} environment)
  set(serial FALSE)
  if(arg_SERIAL)
    set(serial TRUE)
  endif()
  if(arg_TESTS)
    set_property(TEST ${arg_TESTS} APPEND PROPERTY FIXTURES_REQUIRED ${group}.PipeWire)
    set_property(TEST ${arg_TESTS} APPEND PROPERTY ENVIRONMENT_MODIFICATION ${environment})
    set_property(TEST ${arg_TESTS} PROPERTY RUN_SERIAL ${serial})
  endif()
  if(arg_TEST_LIST)
    # Discovered tests exist only when CTest runs, so a file CTest includes after the discovery's
    # own sets their properties.
    set(file ${CMAKE_CURRENT_BINARY_DIR}/${group}.${arg_TEST_LIST}.pipewire.cmake)
    file(WRITE ${file} "set_tests_properties(\${${arg_TEST_LIST}} PROPERTIES\n"
      "  FIXTURES_REQUIRED ${group}.PipeWire ENVIRONMENT_MODIFICATION \"${environment}\"\n"
      "  RUN_SERIAL ${serial})\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
  endif()
endfunction()
