# tesra_isal: the optional fast inflater for the reader's random-access layer (ISA-L's igzip,
# Debian's libisal-dev). Without it the layer inflates with zlib alone, with the same results.
option(TESRA_WITH_ISAL "Inflate with ISA-L where it gives the same bytes as zlib" ON)

add_library(tesra_isal INTERFACE)
if(TESRA_WITH_ISAL)
    find_path(TESRA_ISAL_INCLUDE_DIR isa-l/igzip_lib.h)
    find_library(TESRA_ISAL_LIBRARY isal)
    if(TESRA_ISAL_INCLUDE_DIR AND TESRA_ISAL_LIBRARY)
        target_include_directories(tesra_isal SYSTEM INTERFACE ${TESRA_ISAL_INCLUDE_DIR})
        target_link_libraries(tesra_isal INTERFACE ${TESRA_ISAL_LIBRARY})
        target_compile_definitions(tesra_isal INTERFACE TESRA_HAVE_ISAL=1)
        message(STATUS "Reader inflates with ISA-L (${TESRA_ISAL_LIBRARY}), zlib as fallback")
    else()
        message(STATUS "ISA-L not found: the reader inflates with zlib")
    endif()
endif()
