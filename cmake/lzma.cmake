# tesra_lzma: the 7z archive reader of the LZMA SDK 9.22, as a static, position-independent
# library that our shared libraries can carry. Its sources come from scripts/setup, which unpacks
# them into .cache/lzma-9.22/. Third-party code: built single-threaded (_7ZIP_ST), without our
# warning set, and its headers are seen as system headers by everyone who includes them.

set(TESRA_LZMA_DIR ${PROJECT_SOURCE_DIR}/.cache/lzma-9.22/C CACHE PATH
    "Folder with the LZMA SDK 9.22 C sources (7z.h, 7zIn.c, ...)")

set(TESRA_LZMA_SOURCES
    7zIn.c 7zDec.c 7zBuf.c 7zCrc.c 7zCrcOpt.c 7zStream.c 7zFile.c 7zAlloc.c
    LzmaDec.c Lzma2Dec.c Bcj2.c Bra.c Bra86.c CpuArch.c)

# The headers an outside client needs to compile tesra_int_defs.h from an install prefix alone.
set(TESRA_LZMA_PUBLIC_HEADERS 7z.h 7zBuf.h 7zFile.h Types.h)

foreach(file IN LISTS TESRA_LZMA_SOURCES TESRA_LZMA_PUBLIC_HEADERS)
    if(NOT EXISTS ${TESRA_LZMA_DIR}/${file})
        message(FATAL_ERROR
            "LZMA SDK source ${TESRA_LZMA_DIR}/${file} is missing.\n"
            "Run scripts/setup first: it fetches the LZMA SDK 9.22 sources into .cache/.")
    endif()
endforeach()

list(TRANSFORM TESRA_LZMA_SOURCES PREPEND ${TESRA_LZMA_DIR}/)
add_library(tesra_lzma STATIC ${TESRA_LZMA_SOURCES})
set_target_properties(tesra_lzma PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    C_STANDARD 99
    C_EXTENSIONS ON)
target_compile_definitions(tesra_lzma PRIVATE _7ZIP_ST)
target_compile_options(tesra_lzma PRIVATE -w)
# On x86 the SDK reads little-endian fields with deliberate unaligned loads; that is its design,
# not a fault for the sanitizer build to stop on.
if(TESRA_SANITIZE)
    target_compile_options(tesra_lzma PRIVATE -fno-sanitize=alignment)
endif()
target_include_directories(tesra_lzma SYSTEM PUBLIC ${TESRA_LZMA_DIR})

list(TRANSFORM TESRA_LZMA_PUBLIC_HEADERS PREPEND ${TESRA_LZMA_DIR}/
    OUTPUT_VARIABLE TESRA_LZMA_PUBLIC_HEADER_PATHS)
