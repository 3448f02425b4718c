# tesra_add_library(NAME <target> OUTPUT <output name> SOURCES <file>...
#                   [LIBS <public link item>...] [PRIVATE_LIBS <private link item>...]
#                   [NO_INSTALL])
#
# One of our shared libraries: lib<OUTPUT>.so.1 (soname version 1, file version 1.0.0), hidden
# visibility by default, our warning set, and no undefined symbols left at link time, so a
# missing dependency shows up when the library is built rather than when it is loaded.
# Public include dir: include/ (the installed headers). Private include dir: src/, so sources
# write #include "common/..." and "util/...". Unless NO_INSTALL is given it is installed to lib/
# with its soname links, finds its sibling libraries through the run path $ORIGIN, and is
# exported to the CMake package as tesra::<name without "tesra"> (tesrawrite: tesra::write).
# Static libraries of ours in LIBS are carried inside the shared library, so installed clients
# do not link them again.

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
    # Installed, the headers are reachable both as "tesra/x.h" and, as pkg-config gives them,
    # "x.h".
    target_include_directories(${ARG_NAME}
        PUBLIC
            $<BUILD_INTERFACE:${TESRA_INCLUDE_DIR}>
            $<INSTALL_INTERFACE:${TESRA_INSTALL_INCLUDEDIR}>
            $<INSTALL_INTERFACE:${TESRA_INSTALL_INCLUDEDIR}/tesra>
        PRIVATE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${ARG_NAME} PRIVATE tesra_warnings)
    # Our exported functions are not meant to be interposed: calls between them inside one
    # library may be direct and inlined (a walk makes several per counter value).
    target_compile_options(${ARG_NAME} PRIVATE -fno-semantic-interposition)
    foreach(lib IN LISTS ARG_LIBS)
        if(TARGET ${lib})
            get_target_property(type ${lib} TYPE)
            if(type STREQUAL "STATIC_LIBRARY")
                set(lib $<BUILD_INTERFACE:${lib}>)
            endif()
        endif()
        target_link_libraries(${ARG_NAME} PUBLIC ${lib})
    endforeach()
    if(ARG_PRIVATE_LIBS)
        target_link_libraries(${ARG_NAME} PRIVATE ${ARG_PRIVATE_LIBS})
    endif()

    # Clang links the sanitizer runtime into executables only, so a sanitized shared library
    # legitimately leaves the runtime's symbols undefined; GCC links it as a shared library.
    if(NOT ((TESRA_SANITIZE OR TESRA_TSAN) AND CMAKE_CXX_COMPILER_ID MATCHES "Clang"))
        target_link_options(${ARG_NAME} PRIVATE LINKER:--no-undefined)
    endif()

    if(NOT ARG_NO_INSTALL)
        string(REGEX REPLACE "^tesra" "" export_name ${ARG_NAME})
        set_target_properties(${ARG_NAME} PROPERTIES
            EXPORT_NAME ${export_name}
            INSTALL_RPATH "$ORIGIN")
        install(TARGETS ${ARG_NAME} EXPORT tesraTargets
            LIBRARY DESTINATION ${TESRA_INSTALL_LIBDIR}
                COMPONENT runtime
                NAMELINK_COMPONENT development)
    endif()
endfunction()
