# Compares the dynamic symbols a wrapper variant defines with the calls it should export.
# Arguments: NM, LIBRARY, WITH_DUMPS (ON for the variant with the text dumps).
set(expected
    free_counter_headers
    free_tesra_file_version
    free_tesra_wrapper_counter_data
    free_tesra_wrapper_periods_data
    free_tesra_wrapper_timestamps_data
    get_counter_info
    get_counter_values_for_timestamp
    get_periods_list
    get_tesra_file_version
    get_timestamp_list)
if(WITH_DUMPS)
    list(APPEND expected write_counter_values_for_timestamp_to_file write_timestamps_to_file)
endif()

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
    OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()

set(exported)
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] (.+)$")
        list(APPEND exported ${CMAKE_MATCH_1})
    endif()
endforeach()
list(SORT exported)
list(SORT expected)
if(NOT exported STREQUAL expected)
    message(FATAL_ERROR "${LIBRARY} exports\n  ${exported}\nexpected\n  ${expected}")
endif()
message(STATUS "${LIBRARY}: ${exported}")
