# tesra_warnings: the warning set every target of ours compiles with. Warnings are errors, so a
# new warning stops the build where it was introduced instead of piling up.
add_library(tesra_warnings INTERFACE)
target_compile_options(tesra_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wcast-qual -Wformat=2 -Wundef
    -Wmissing-declarations -Werror
    $<$<COMPILE_LANGUAGE:C>:-Wstrict-prototypes>)
