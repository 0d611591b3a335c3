# The project's version, PROJECT_VERSION, is set once, by project() in the
# top-level CMakeLists.txt; everything that shows it is generated from it here.

# The Debian changelog is written by hand, as it keeps the package's history;
# its latest entry must be this version, or the package would carry another.
set(version_changelog ${PROJECT_SOURCE_DIR}/packaging/deb/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${version_changelog})
file(STRINGS ${version_changelog} version_entry LIMIT_COUNT 1)
if(NOT version_entry MATCHES "^[a-z0-9][a-z0-9.+-]* \\(([^)]+)\\) ")
    message(FATAL_ERROR "packaging/deb/changelog: no package version in its first line")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "packaging/deb/changelog's latest entry is version ${CMAKE_MATCH_1}, "
        "but the project's version (project() in CMakeLists.txt) is ${PROJECT_VERSION}: "
        "add an entry for ${PROJECT_VERSION} at the top of the changelog "
        "(dch --changelog packaging/deb/changelog -v ${PROJECT_VERSION}), "
        "or set project()'s version back to ${CMAKE_MATCH_1}")
endif()

# For every program, the guest programs of the simulated board included.
add_compile_definitions("TIMING_SUPPORT_VERSION=\"${PROJECT_VERSION}\"")

# kv_ptp's generated files, laid out as in its source folder: a copy of the
# source with these over it is the tree DKMS builds (kbuild_module_source in
# scripts/kbuild-lib.sh, which knows this folder's name).
set(KV_PTP_GENERATED_DIR ${PROJECT_BINARY_DIR}/kv-ptp-generated)
set(version_module ${PROJECT_SOURCE_DIR}/rte/sources/kvLkmPtpAux)
configure_file(${version_module}/dkms.conf.in ${KV_PTP_GENERATED_DIR}/dkms.conf @ONLY)
configure_file(${version_module}/src/ptp/kv_ptp_version.h.in
    ${KV_PTP_GENERATED_DIR}/src/ptp/kv_ptp_version.h @ONLY)

# The manual pages, each installed in the section its name ends with.
foreach(version_page morrask.8 halvern.8 kv-ptp-ctl.8 kv_ptp.4 timing-support.5)
    configure_file(${PROJECT_SOURCE_DIR}/doc/man/${version_page}.in
        ${PROJECT_BINARY_DIR}/doc/man/${version_page} @ONLY)
    string(REGEX MATCH "[0-9]$" version_section ${version_page})
    install(FILES ${PROJECT_BINARY_DIR}/doc/man/${version_page}
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man${version_section})
endforeach()
