# Debian packages from the build tree (cpack -G DEB), named as Debian policy
# names a library with SONAME libzvk-vorn.so.1: libzvk-vorn1 holds the two
# shared objects, libzvk-vorn-dev everything needed to build against them.
set(CPACK_PACKAGE_NAME zvk-vorn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER
    "zvk-vorn maintainers <maintainers@users.noreply.c-seed-b296b7c0.example>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# CPack puts any summary but its default in front of every description; the
# first line of each package's description is its own synopsis instead.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_STRIP_FILES ON)
# Control files get the modes Debian requires, whatever the umask.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Dependencies (libexpat1, libc6, libstdc++6) come from the ELF files
# themselves; our own libraries are found in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/xmlutil)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzvk-vorn1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# A shlibs file, so that packages built against these libraries depend on
# this version or later, and the ldconfig trigger for the SONAME links.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "asynchronous logging library for Linux processes
Applications get a log handle by logger name and hand over records they
have composed; a worker thread per target writes them to standard error or
to size-rotated log files. This package holds libzvk-vorn.so.1 and its
companion XML library libzvk-xmlutil.so.1.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzvk-vorn-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "asynchronous logging library for Linux processes - development files
Headers, the CMake package and pkg-config files for building against
libzvk-vorn, and vorn-check-config, which checks a configuration file
before it is deployed.")

# Debian wants a copyright file and a compressed changelog in each package.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in
    ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
execute_process(COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/debian/changelog
    OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/changelog.gz)
foreach(component runtime dev)
    string(TOUPPER ${component} upper)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
                  ${PROJECT_BINARY_DIR}/debian/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
            COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
