# A Debian package of everything that is installed: scripts/package builds
# vardell_<version>_<arch>.deb with `cpack -G DEB`.
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Vardell developers <vardell@example.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vardell)
set(CPACK_PACKAGE_VENDOR "Vardell developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "DTMF command listening library, tool and test console")
set(CPACK_PACKAGE_DESCRIPTION "Vardell listens to an audio input, recognises the DTMF keys 0-9, A-D, * and #,
assembles them into commands that begin with * or # and notifies a window of
the application of every command text as it grows. It also reads, writes,
mixes and plays PCM WAV sounds.

This package holds the shared library with its headers, CMake and pkg-config
files, the vardell command-line tool, the Quillon test console and the
Python module vardell.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at its first use rather than linked, so dpkg-shlibdeps cannot see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpulse0 (>= 14)")
# The Python module works on numpy arrays.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3, python3-numpy")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The dynamic linker's cache learns of the library through dpkg's trigger.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_STRIP_FILES ON)

# What Debian wants beside the files: a copyright file and a compressed changelog.
set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
                   COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/debian/changelog
                   DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz DESTINATION ${doc_dir})

include(CPack)
