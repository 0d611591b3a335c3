# The project's version, PROJECT_VERSION, comes from debian/changelog (the
# top-level CMakeLists.txt); everything that shows it is generated from it here.

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
