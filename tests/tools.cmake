# The layers that check the code with other tools and builds; on with
# TOOL_TESTS:
#   memcheck  the host test programs under valgrind, with the programs they start
#   sanitize  the same programs built with ASan (leak checks on) and UBSan
#   fuzz      each libFuzzer target of tests/fuzz for a bounded time
#   cross     the board's static, hardened aarch64 build of the programs
#   lint      the module, the scripts and the programs under static checkers
if(NOT TOOL_TESTS)
    return()
endif()

# valgrind's own messages go to a log a process, shown when the run fails:
# the tests compare what the programs they start print, word for word.
set(memcheck_dir ${CMAKE_BINARY_DIR}/memcheck)
foreach(program ${host_test_programs})
    add_test(NAME memcheck.${program}
             COMMAND sh -c "mkdir -p \"$1\" && rm -f \"$1/$2\".* || exit
                 valgrind -q --log-file=\"$1/$2\".%p --error-exitcode=99 --trace-children=yes --leak-check=full \
                     --show-leak-kinds=definite,indirect,possible \
                     --errors-for-leak-kinds=definite,indirect,possible \"$3\"
                 status=$?; [ $status -eq 0 ] || cat \"$1/$2\".*; exit $status"
                 sh ${memcheck_dir} ${program} $<TARGET_FILE:${program}>)
    set_tests_properties(memcheck.${program} PROPERTIES LABELS memcheck TIMEOUT 900)
endforeach()

# A build tree of its own, configured and built by its first test.
set(sanitize_dir ${CMAKE_BINARY_DIR}/sanitize)
add_test(NAME sanitize.build
         COMMAND sh -c "cmake -S \"$1\" -B \"$2\" -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON -DWERROR=ON >/dev/null && cmake --build \"$2\" -j \"$(nproc)\" >/dev/null"
                 sh ${PROJECT_SOURCE_DIR} ${sanitize_dir})
set_tests_properties(sanitize.build PROPERTIES FIXTURES_SETUP sanitize LABELS sanitize TIMEOUT 900)
foreach(program ${host_test_programs})
    add_test(NAME sanitize.${program} COMMAND ${sanitize_dir}/tests/${program})
    set_tests_properties(sanitize.${program} PROPERTIES FIXTURES_REQUIRED sanitize LABELS sanitize
                         ENVIRONMENT ASAN_OPTIONS=detect_leaks=1 TIMEOUT 900)
endforeach()

# Ten seconds a target here; scripts/fuzz.sh SECONDS runs them for long.
add_test(NAME fuzz.build COMMAND ${PROJECT_SOURCE_DIR}/scripts/fuzz.sh build)
set_tests_properties(fuzz.build PROPERTIES FIXTURES_SETUP fuzz LABELS fuzz TIMEOUT 900)
foreach(target config_file config_check filter_white_space tod)
    add_test(NAME fuzz.${target} COMMAND ${PROJECT_SOURCE_DIR}/scripts/fuzz.sh run ${target} 10)
    set_tests_properties(fuzz.${target} PROPERTIES FIXTURES_REQUIRED fuzz LABELS fuzz TIMEOUT 120)
endforeach()

add_test(NAME cross.build COMMAND ${PROJECT_SOURCE_DIR}/scripts/cross-build.sh ${CMAKE_BINARY_DIR}/aarch64 -DWERROR=ON)
set_tests_properties(cross.build PROPERTIES LABELS cross TIMEOUT 900)

# clang-tidy reads this tree's compile_commands.json.
foreach(check sparse checkpatch coccicheck shellcheck clang-tidy clang-format)
    add_test(NAME lint.${check} COMMAND ${PROJECT_SOURCE_DIR}/scripts/lint.sh ${check})
    set_tests_properties(lint.${check} PROPERTIES LABELS lint TIMEOUT 600
                         ENVIRONMENT LINT_BUILD_DIR=${CMAKE_BINARY_DIR})
endforeach()
