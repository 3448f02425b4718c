# TESRA_SANITIZE: build everything (libraries, the 7z reader and the tests) with AddressSanitizer
# and UndefinedBehaviorSanitizer. Any finding aborts the process, so a test that trips one fails.
option(TESRA_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

if(TESRA_SANITIZE)
    set(TESRA_SANITIZE_FLAGS
        -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_compile_options(${TESRA_SANITIZE_FLAGS})
    add_link_options(${TESRA_SANITIZE_FLAGS})
endif()

# TESRA_TSAN: build with ThreadSanitizer (clang), for the tests that call the libraries from
# several threads at once. Not combined with TESRA_SANITIZE.
option(TESRA_TSAN "Build with ThreadSanitizer" OFF)

if(TESRA_TSAN)
    set(TESRA_TSAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
    add_compile_options(${TESRA_TSAN_FLAGS})
    add_link_options(${TESRA_TSAN_FLAGS})
endif()
