# What `cmake --install` lays out under the prefix, by component:
#   runtime      lib/libtesra*.so.1*, each finding its siblings through the run path $ORIGIN
#   development  headers (with the 7z headers they include), the .so links, pkg-config files and
#                the CMake package (find_package(tesra 1 CONFIG): tesra::util, tesra::read, ...)
#   tool         bin/tesra (run path $ORIGIN/../lib) and its man page
# Nothing under the prefix names the prefix, so an installed tree still works once moved.
include(CMakePackageConfigHelpers)

file(GLOB TESRA_PUBLIC_HEADERS CONFIGURE_DEPENDS ${TESRA_INCLUDE_DIR}/tesra/*.h)
install(FILES ${TESRA_PUBLIC_HEADERS} ${TESRA_LZMA_PUBLIC_HEADER_PATHS}
    DESTINATION ${TESRA_INSTALL_INCLUDEDIR}/tesra
    COMPONENT development)

foreach(pc tesra tesrawrapper)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc
        DESTINATION ${TESRA_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)
endforeach()

# Every library made by tesra_add_library joins the export set tesraTargets.
install(EXPORT tesraTargets
    NAMESPACE tesra::
    DESTINATION ${TESRA_INSTALL_CMAKEDIR}
    COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tesraConfig.cmake.in
    ${PROJECT_BINARY_DIR}/tesraConfig.cmake
    INSTALL_DESTINATION ${TESRA_INSTALL_CMAKEDIR})
# One soname version per major version: a client built against 1.x runs with any later 1.y.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tesraConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tesraConfig.cmake ${PROJECT_BINARY_DIR}/tesraConfigVersion.cmake
    DESTINATION ${TESRA_INSTALL_CMAKEDIR}
    COMPONENT development)

# --- The tool and its man page ------------------------------------------------------------------

set_target_properties(tesra_cli PROPERTIES INSTALL_RPATH "$ORIGIN/../${TESRA_INSTALL_LIBDIR}")
install(TARGETS tesra_cli RUNTIME DESTINATION bin COMPONENT tool)

# tesra.1 comes from the tool's own help (top level and every subcommand), so it cannot drift.
find_program(TESRA_HELP2MAN help2man)
if(NOT TESRA_HELP2MAN)
    message(FATAL_ERROR "help2man is missing (Debian package help2man): run scripts/setup")
endif()
set(TESRA_MAN_PAGE ${PROJECT_BINARY_DIR}/tesra.1)
add_custom_command(OUTPUT ${TESRA_MAN_PAGE}
    COMMAND ${CMAKE_COMMAND}
        -DTOOL=$<TARGET_FILE:tesra_cli> -DHELP2MAN=${TESRA_HELP2MAN} -DOUT=${TESRA_MAN_PAGE}
        -P ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
    DEPENDS tesra_cli ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
    COMMENT "Generating tesra.1 from the tool's help"
    VERBATIM)
add_custom_target(tesra_man ALL DEPENDS ${TESRA_MAN_PAGE})
install(FILES ${TESRA_MAN_PAGE} DESTINATION share/man/man1 COMPONENT tool)
