# Debian packages with CPack (scripts/package): one per install component.
#   libtesra1     the shared libraries (runtime)
#   libtesra-dev  headers, .so links, pkg-config files and the CMake package (development)
#   tesra         the command-line tool and its man page (tool)
# Dependencies on Debian's libraries (zlib, libxml2, ISA-L when the reader uses it, the C++
# runtime) come from dpkg-shlibdeps; the packages depend on each other at exactly this version.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tesra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "performance-counter archives of storage nodes")
set(CPACK_PACKAGE_CONTACT "tesra developers <tesra@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
# Debug information stays in the build tree, as with stripped distribution packages.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tool)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Our own libraries are found in the build tree and left to the package relations below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${PROJECT_BINARY_DIR}/src/util ${PROJECT_BINARY_DIR}/src/write ${PROJECT_BINARY_DIR}/src/read
    ${PROJECT_BINARY_DIR}/src/wrapper ${PROJECT_BINARY_DIR}/src/companion
    ${PROJECT_BINARY_DIR}/src/series)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_TOOL_DEPENDS runtime)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtesra${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "Shared libraries that write and read performance-counter archives (<base>.meta and\n"
    "<base>.gz), the extraction library for data-collection services, and the library that\n"
    "reads a node's series of archives as one timeline.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtesra-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# pkg-config's Requires.private and the CMake package's find_dependency need these.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "zlib1g-dev, libxml2-dev")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "Headers, pkg-config files (tesra, tesrawrapper) and the CMake package (find_package(tesra))\n"
    "for building against the tesra libraries.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME tesra)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOL_DESCRIPTION
    "The tesra command-line tool: look into, check, recover and generate performance-counter\n"
    "archives.")

include(CPack)
