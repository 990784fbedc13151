# What `cmake --install` puts under the prefix, and the Debian package that
# CPack makes of the same files (`cpack -G DEB` in the build directory):
#
#   bin/sidecar                          the executable
#   share/doc/sidecar/                   README.md, the protocol reference
#                                        (protocol.md) and its JSON schemas
#                                        (schema/)
#   share/sidecar/python/                the Python client package and its
#                                        tools, without their tests
#   bin/sidecar-watch                    runs the watch tool from there
#   share/man/man1/                      sidecar.1 and sidecar-watch.1
#
# The protocol reference and the Python client are optional here: each rule
# installs its files when they are in the source tree at install time and is
# silent when they are not.
include(GNUInstallDirs)

install(TARGETS sidecar RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES README.md docs/protocol.md DESTINATION ${CMAKE_INSTALL_DOCDIR} OPTIONAL)
# The man pages name the version and the installed documentation's folder,
# wherever the prefix puts it.
foreach(page sidecar.1 sidecar-watch.1)
  if(EXISTS ${PROJECT_SOURCE_DIR}/docs/man/${page})
    configure_file(docs/man/${page} ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
# The pictures the README shows, where its links point.
file(GLOB SIDECAR_README_IMAGES ${PROJECT_SOURCE_DIR}/docs/*.svg ${PROJECT_SOURCE_DIR}/docs/*.png)
install(FILES ${SIDECAR_README_IMAGES} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(DIRECTORY docs/schema/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/schema OPTIONAL)

install(DIRECTORY clients/python/ DESTINATION ${CMAKE_INSTALL_DATADIR}/sidecar/python OPTIONAL
        PATTERN tests EXCLUDE
        PATTERN __pycache__ EXCLUDE
        PATTERN .pytest_cache EXCLUDE
        PATTERN "*.pyc" EXCLUDE)

# bin/sidecar-watch: a launcher that runs the watch tool from the client
# installed above, found relative to the launcher so that a staged or
# relocated install works too.
if(EXISTS ${PROJECT_SOURCE_DIR}/clients/python/sidecar_client/watch)
  set(SIDECAR_WATCH_PYTHON /usr/bin/python3 CACHE FILEPATH
      "The Python that the installed sidecar-watch runs with (it needs rich and matplotlib)")
  file(RELATIVE_PATH SIDECAR_WATCH_PYTHONPATH
       ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}
       ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/sidecar/python)
  configure_file(cmake/sidecar-watch.in ${PROJECT_BINARY_DIR}/sidecar-watch @ONLY)
  install(PROGRAMS ${PROJECT_BINARY_DIR}/sidecar-watch DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The Debian package. Its dependencies (the C and C++ runtime libraries) are
# read from the executable by dpkg-shlibdeps. The project has no address of
# its own to put in the package's Maintainer field, and an invented one would
# send mail nowhere: whoever builds the package names themselves, either here
# or when running CPack (cpack -G DEB -D CPACK_DEBIAN_PACKAGE_MAINTAINER=...).
set(SIDECAR_PACKAGE_MAINTAINER ""
    CACHE STRING "Maintainer named in the Debian package, as \"Name <address>\"")
set(CPACK_PACKAGE_NAME sidecar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(SIDECAR_PACKAGE_MAINTAINER)
  set(CPACK_PACKAGE_CONTACT ${SIDECAR_PACKAGE_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${SIDECAR_PACKAGE_MAINTAINER})
endif()
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "process monitor driven by a parent application over a pipe")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "sidecar is a small child process that watches other processes for the\n"
    "application that starts it. The parent writes commands to its standard\n"
    "input and reads answers and samples from its standard output, one JSON\n"
    "object per line. It samples a process tree (CPU, memory, storage bytes,\n"
    "start and run time, command line and status), keeps a bounded history\n"
    "and lists every process of the system.")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The watch tool runs with the system's Python 3 and rich; matplotlib only
# draws its plots.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-rich")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-matplotlib")
include(CPack)
