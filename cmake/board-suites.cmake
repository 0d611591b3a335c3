# The guest suites of the simulated board, found from the sources: every
# tests/board/NAME_test.cpp and sim/board/client/NAME_test.cpp (the
# simulator's own) is the program suite NAME, and sim/board/guest/demo is
# the script suite demo. The board build puts exactly these into its /tests
# (sim/board/CMakeLists.txt) and the tests run exactly these
# (tests/CMakeLists.txt). Sets
#   board_suites                  every suite's name, sorted
#   board_program_suites          the names of the program suites
#   board_suite_source_<NAME>     the source of suite NAME
file(GLOB _board_suite_sources CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/tests/board/*_test.cpp
    ${PROJECT_SOURCE_DIR}/sim/board/client/*_test.cpp)
set(board_suite_source_demo ${PROJECT_SOURCE_DIR}/sim/board/guest/demo)
set(board_program_suites)
foreach(_source ${_board_suite_sources})
    get_filename_component(_suite ${_source} NAME_WE)
    string(REGEX REPLACE "_test$" "" _suite ${_suite})
    if(DEFINED board_suite_source_${_suite})
        message(FATAL_ERROR "two guest suites named ${_suite}: ${board_suite_source_${_suite}} and ${_source}")
    endif()
    set(board_suite_source_${_suite} ${_source})
    list(APPEND board_program_suites ${_suite})
endforeach()
set(board_suites demo ${board_program_suites})
list(SORT board_suites)
