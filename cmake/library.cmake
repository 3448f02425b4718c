# tesra_add_library(NAME <target> OUTPUT <output name> SOURCES <file>...
#                   [LIBS <public link item>...] [PRIVATE_LIBS <private link item>...]
#                   [NO_INSTALL])
#
# One of our shared libraries: lib<OUTPUT>.so.1 (soname version 1, file version 1.0.0), hidden
# visibility by default, our warning set, and no undefined symbols left at link time, so a
# missing dependency shows up when the library is built rather than when it is loaded.
# Public include dir: include/ (the installed headers). Private include dir: src/, so sources
# write #include "common/..." and "util/...". Installed to lib/ with its soname links unless
# NO_INSTALL is given.

set(TESRA_INCLUDE_DIR ${PROJECT_SOURCE_DIR}/include CACHE INTERNAL "tesra public headers")

# tesra_headers: the public include dir alone, for targets that only need the declarations.
add_library(tesra_headers INTERFACE)
target_include_directories(tesra_headers INTERFACE ${TESRA_INCLUDE_DIR})

function(tesra_add_library)
    cmake_parse_arguments(PARSE_ARGV 0 ARG "NO_INSTALL" "NAME;OUTPUT" "SOURCES;LIBS;PRIVATE_LIBS")
    if(NOT ARG_NAME OR NOT ARG_SOURCES)
        message(FATAL_ERROR "tesra_add_library: NAME and SOURCES are required")
    endif()
    if(NOT ARG_OUTPUT)
        set(ARG_OUTPUT ${ARG_NAME})
    endif()

    add_library(${ARG_NAME} SHARED ${ARG_SOURCES})
    set_target_properties(${ARG_NAME} PROPERTIES
        OUTPUT_NAME ${ARG_OUTPUT}
        VERSION ${PROJECT_VERSION}
        SOVERSION ${PROJECT_VERSION_MAJOR}
        C_VISIBILITY_PRESET hidden
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
    target_include_directories(${ARG_NAME}
        PUBLIC ${TESRA_INCLUDE_DIR}
        PRIVATE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${ARG_NAME} PRIVATE tesra_warnings)
    # Our exported functions are not meant to be interposed: calls between them inside one
    # library may be direct and inlined (a walk makes several per counter value).
    target_compile_options(${ARG_NAME} PRIVATE -fno-semantic-interposition)
    if(ARG_LIBS)
        target_link_libraries(${ARG_NAME} PUBLIC ${ARG_LIBS})
    endif()
    if(ARG_PRIVATE_LIBS)
        target_link_libraries(${ARG_NAME} PRIVATE ${ARG_PRIVATE_LIBS})
    endif()

    # Clang links the sanitizer runtime into executables only, so a sanitized shared library
    # legitimately leaves the runtime's symbols undefined; GCC links it as a shared library.
    if(NOT (TESRA_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang"))
        target_link_options(${ARG_NAME} PRIVATE LINKER:--no-undefined)
    endif()

    if(NOT ARG_NO_INSTALL)
        install(TARGETS ${ARG_NAME}
            LIBRARY DESTINATION ${TESRA_INSTALL_LIBDIR}
                NAMELINK_COMPONENT development
            RUNTIME DESTINATION bin)
    endif()
endfunction()
