# cmake -DTOOL=<tesra> -DHELP2MAN=<help2man> -DOUT=<tesra.1> -P manpage.cmake
#
# Writes the man page of the tesra tool with help2man from `tesra --help` and the first line of
# `tesra --version`, plus a SUBCOMMANDS section holding the full help of every subcommand listed
# at the top level: its description as a paragraph, then its usage and options as printed.
foreach(var TOOL HELP2MAN OUT)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "manpage.cmake: -D${var}=... is required")
    endif()
endforeach()

execute_process(COMMAND ${TOOL} --help OUTPUT_VARIABLE top RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${TOOL} --help failed (${rc})")
endif()

execute_process(COMMAND ${TOOL} --version OUTPUT_VARIABLE version RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT version MATCHES "^tesra ([^\n]+)")
    message(FATAL_ERROR "${TOOL} --version failed (${rc}): ${version}")
endif()
set(version ${CMAKE_MATCH_1})

# The subcommand names: the first word of each indented line after "Subcommands:".
string(REGEX REPLACE "^.*\nSubcommands:\n" "" listing "${top}")
string(REGEX MATCHALL "(^|\n)  [a-z][a-z0-9_-]*" names "${listing}")
if(NOT names)
    message(FATAL_ERROR "no subcommands found in the output of ${TOOL} --help")
endif()

set(include "[SUBCOMMANDS]\n")
foreach(name IN LISTS names)
    string(STRIP "${name}" name)
    execute_process(COMMAND ${TOOL} ${name} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${TOOL} ${name} --help failed (${rc})")
    endif()
    # Shown as written: roff escapes for backslashes and for lines that would read as requests.
    string(REPLACE "\\" "\\e" help "${help}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
    string(FIND "${help}" "\nUsage:" usage)
    if(usage EQUAL -1)
        message(FATAL_ERROR "no usage line in the output of ${TOOL} ${name} --help")
    endif()
    string(SUBSTRING "${help}" 0 ${usage} description)
    math(EXPR usage "${usage} + 1")
    string(SUBSTRING "${help}" ${usage} -1 usage)
    string(APPEND include ".SS ${name}\n${description}\n.PP\n.nf\n${usage}.fi\n")
endforeach()

get_filename_component(dir ${OUT} DIRECTORY)
file(WRITE ${dir}/tesra.1.include "${include}")
execute_process(
    COMMAND ${HELP2MAN} --no-info --no-discard-stderr --version-string ${version}
        --name "look into, check, recover and generate performance-counter archives"
        --include ${dir}/tesra.1.include --output ${OUT} ${TOOL}
    RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "help2man failed (${rc})")
endif()
