# The system pipeline: the simulated board (label board), the Debian
# packages (package) and a Debian 12 board with systemd (debian); on with
# BOARD_TESTS and PACKAGE_TESTS.
#
# Guest suites on the simulated board: one boot per suite, after one build of
# the modules, guest programs and initramfs. sim/board/build.sh puts exactly
# the suites of board-suites.cmake into the board's /tests, and the .suites
# test checks that it did.
include(${PROJECT_SOURCE_DIR}/cmake/board-suites.cmake)

# A board build named PREFIX in BOARD_DIR: build.sh with the given arguments
# sets up the fixture PREFIX, which needs the fixtures in REQUIRES (a list,
# may be empty); then the given guest suites run on it, given the arguments
# in board_suite_args if the caller set it.
function(add_board prefix board_dir requires suites)
    add_test(NAME ${prefix}.build COMMAND ${PROJECT_SOURCE_DIR}/sim/board/build.sh ${ARGN} ${board_dir})
    set_tests_properties(${prefix}.build PROPERTIES FIXTURES_SETUP ${prefix} TIMEOUT 900 LABELS board)
    if(requires)
        set_tests_properties(${prefix}.build PROPERTIES FIXTURES_REQUIRED "${requires}")
    endif()
    add_test(NAME ${prefix}.suites
             COMMAND ${CMAKE_CURRENT_LIST_DIR}/board/check-suites.sh ${board_dir} ${board_suites})
    set_tests_properties(${prefix}.suites PROPERTIES FIXTURES_REQUIRED ${prefix} LABELS board)
    foreach(suite ${suites})
        add_test(NAME ${prefix}.${suite}
                 COMMAND ${PROJECT_SOURCE_DIR}/sim/board/run.sh -b ${board_dir} ${suite} ${board_suite_args})
        set_tests_properties(${prefix}.${suite} PROPERTIES FIXTURES_REQUIRED ${prefix} TIMEOUT 660 LABELS board)
    endforeach()
endfunction()

# Every suite runs on both kernels: the development build on the board's
# 5.4, the Debian package's programs and DKMS-built module on Debian's 6.1.
set(board54_dir ${CMAKE_BINARY_DIR}/board-5.4)
if(BOARD_TESTS)
    add_board(board-5.4 ${board54_dir} "" "${board_suites}" -k 5.4)
    # kv_ptp's suites once more on that kernel built with its runtime
    # checkers (KASAN, kmemleak, lockdep, UBSAN): a run after which the
    # kernel reports anything fails. Its guest programs are the 5.4 board's.
    add_board(board-5.4-debug ${CMAKE_BINARY_DIR}/board-5.4-debug board-5.4 "kv_ptp;kv_ptp_clock;kv_ptp_stress"
              -k 5.4-debug -g ${board54_dir}/guest)
endif()

# The board's Debian packages, built by dpkg-buildpackage: their contents,
# lintian on the whole upload (source and binaries), the units, a second
# build to the same bytes, DKMS on a kernel without the SoC driver, and
# (with the board) the guest suites on the packaged programs and the
# module DKMS builds from the source package; and the
# binary module package for the 5.4 board kernel, checked the same way, whose
# module must pass the kv_ptp suite there.
if(PACKAGE_TESTS)
    set(package_dir ${CMAKE_BINARY_DIR}/package)
    set(package_deb ${package_dir}/timing-support_${PROJECT_VERSION}_arm64.deb)
    set(package_changes ${package_dir}/timing-support_${PROJECT_VERSION}_arm64.changes)
    add_test(NAME package.build COMMAND ${PROJECT_SOURCE_DIR}/scripts/package.sh ${package_dir})
    set_tests_properties(package.build PROPERTIES FIXTURES_SETUP package TIMEOUT 600 LABELS package)
    foreach(check contents lintian unit reproducible dkms)
        add_test(NAME package.${check}
                 COMMAND ${PROJECT_SOURCE_DIR}/tests/package/check.sh ${check} ${package_changes})
        set_tests_properties(package.${check} PROPERTIES FIXTURES_REQUIRED package TIMEOUT 600 LABELS package)
    endforeach()
    if(BOARD_TESTS)
        # On 6.1 each suite runs its tests in reverse order: no test may
        # depend on what an earlier one left behind.
        set(board_suite_args --reverse)
        add_board(packaged-6.1 ${CMAKE_BINARY_DIR}/packaged-6.1 package "${board_suites}"
                  -k 6.1 -p ${package_deb})
        unset(board_suite_args)

        # Built against the 5.4 board's tree, with the simulated SoC driver
        # standing in for the board's.
        set(module_dir ${CMAKE_BINARY_DIR}/module-package)
        set(module_deb ${module_dir}/kv-ptp-modules-5.4.286_${PROJECT_VERSION}_arm64.deb)
        set(module_env KBUILD_EXTRA_SYMBOLS=${board54_dir}/kmod/sim/Module.symvers)
        add_test(NAME module-package.build
                 COMMAND ${PROJECT_SOURCE_DIR}/scripts/package-module.sh ${board54_dir}/headers ${module_dir})
        set_tests_properties(module-package.build PROPERTIES FIXTURES_REQUIRED board-5.4
                             FIXTURES_SETUP module_package ENVIRONMENT ${module_env} TIMEOUT 600 LABELS package)
        foreach(check contents lintian reproducible)
            add_test(NAME module-package.${check}
                     COMMAND ${PROJECT_SOURCE_DIR}/tests/package/check.sh ${check} ${module_deb}
                             ${board54_dir}/headers)
            set_tests_properties(module-package.${check} PROPERTIES FIXTURES_REQUIRED "board-5.4;module_package"
                                 ENVIRONMENT ${module_env} TIMEOUT 600 LABELS package)
        endforeach()
        add_board(packaged-5.4 ${CMAKE_BINARY_DIR}/packaged-5.4 "package;module_package" kv_ptp
                  -k 5.4 -p ${package_deb} -m ${module_deb})

        # Both packages on a running Debian 12 with systemd and udev, on the
        # 5.4 board: installed offline, the bring-up at boot, a late PPS
        # device, remove and purge, and the shipped sandboxes seen from
        # inside; four boots of one disk. The base image is built once a
        # machine (minutes) and cached.
        add_test(NAME debian.image COMMAND ${PROJECT_SOURCE_DIR}/sim/debian/image.sh)
        set_tests_properties(debian.image PROPERTIES FIXTURES_SETUP debian_image TIMEOUT 2700 LABELS debian)
        add_test(NAME debian-5.4.boots
                 COMMAND ${PROJECT_SOURCE_DIR}/sim/debian/run.sh -b ${board54_dir} -o ${CMAKE_BINARY_DIR}/debian-5.4
                         ${package_deb} ${module_deb})
        set_tests_properties(debian-5.4.boots PROPERTIES
                             FIXTURES_REQUIRED "board-5.4;package;module_package;debian_image" TIMEOUT 1200
                             LABELS debian)
        # Their whole life on a disk of its own, in one boot: installed,
        # upgraded to the next version (the tree with one more changelog
        # entry) and downgraded back under the running bring-up, removed and
        # purged. Passes with -k 6.1 too, its packages built for that board.
        set(next_dir ${CMAKE_BINARY_DIR}/package-next)
        add_test(NAME package-next.build
                 COMMAND ${PROJECT_SOURCE_DIR}/sim/debian/next-version.sh ${board54_dir} ${next_dir})
        set_tests_properties(package-next.build PROPERTIES FIXTURES_REQUIRED board-5.4
                             FIXTURES_SETUP package_next TIMEOUT 900 LABELS package)
        # DKMS builds the module of each version as kv-ptp-dkms goes from N
        # to N+1 and back, with the 5.4 tree and the simulated SoC driver.
        add_test(NAME package.dkms-upgrade
                 COMMAND ${PROJECT_SOURCE_DIR}/tests/package/check.sh dkms-upgrade ${package_changes} ${next_dir}
                         ${board54_dir}/headers)
        set_tests_properties(package.dkms-upgrade PROPERTIES FIXTURES_REQUIRED "board-5.4;package;package_next"
                             ENVIRONMENT ${module_env} TIMEOUT 600 LABELS package)
        add_test(NAME debian-5.4.lifecycle
                 COMMAND ${PROJECT_SOURCE_DIR}/sim/debian/run.sh -b ${board54_dir}
                         -o ${CMAKE_BINARY_DIR}/debian-5.4-lifecycle -s lifecycle -t 600 -u ${next_dir}
                         ${package_deb} ${module_deb})
        set_tests_properties(debian-5.4.lifecycle PROPERTIES
                             FIXTURES_REQUIRED "board-5.4;package;module_package;package_next;debian_image"
                             TIMEOUT 900 LABELS debian)
        # On Debian's 6.1 (through a small initramfs), with the module package
        # built for it: the install (its kernel's part: the boot, udev, the
        # module). The other two suites run there too (run.sh -k 6.1), but at
        # two more minutes they stay out of the test command.
        set(module61_dir ${CMAKE_BINARY_DIR}/module-package-6.1)
        add_test(NAME module-package-6.1.build
                 COMMAND ${PROJECT_SOURCE_DIR}/scripts/package-module.sh ${CMAKE_BINARY_DIR}/packaged-6.1/headers
                         ${module61_dir})
        set_tests_properties(module-package-6.1.build PROPERTIES FIXTURES_REQUIRED packaged-6.1
                             FIXTURES_SETUP module_package_61 TIMEOUT 600 LABELS package
                             ENVIRONMENT KBUILD_EXTRA_SYMBOLS=${CMAKE_BINARY_DIR}/packaged-6.1/kmod/sim/Module.symvers)
        add_test(NAME debian-6.1.boots
                 COMMAND ${PROJECT_SOURCE_DIR}/sim/debian/run.sh -b ${CMAKE_BINARY_DIR}/packaged-6.1
                         -o ${CMAKE_BINARY_DIR}/debian-6.1 -s install ${package_deb} ${module61_dir})
        set_tests_properties(debian-6.1.boots PROPERTIES
                             FIXTURES_REQUIRED "packaged-6.1;package;module_package_61;debian_image" TIMEOUT 1200
                             LABELS debian)
    endif()
endif()
